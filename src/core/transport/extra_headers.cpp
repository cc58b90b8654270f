#include "core/transport/extra_headers.h"

#include <QStringList>

namespace transport {
namespace {

constexpr qsizetype kLineLimit = 998;

// Written by the composer or by the signer; a second one would make the mail ambiguous.
bool isReservedName(const QString& name)
{
    static const QStringList reserved = {
        QStringLiteral("Date"),
        QStringLiteral("From"),
        QStringLiteral("To"),
        QStringLiteral("Subject"),
        QStringLiteral("Message-ID"),
        QStringLiteral("MIME-Version"),
        QStringLiteral("Content-Type"),
        QStringLiteral("Content-Transfer-Encoding"),
        QStringLiteral("DKIM-Signature"),
    };
    return reserved.contains(name, Qt::CaseInsensitive);
}

bool isFieldNameChar(QChar c)
{
    return c.unicode() >= 0x21 && c.unicode() <= 0x7E && c != QLatin1Char(':');
}

} // namespace

std::optional<QList<QByteArray>> parseExtraHeaders(const QString& text, QString* error)
{
    QList<QByteArray> fields;
    if (text.isEmpty())
        return fields;
    auto refuse = [error](const QString& reason) -> std::optional<QList<QByteArray>> {
        *error = reason;
        return std::nullopt;
    };

    QString name;
    for (const QString& line : text.split(QLatin1String("\r\n"))) {
        for (const QChar c : line) {
            const char16_t u = c.unicode();
            if ((u < 0x20 && u != '\t') || u >= 0x7F) {
                return refuse(
                    QStringLiteral("追加ヘッダー「%1」に使えない文字が含まれているため、送信を"
                                   "中止しました。")
                        .arg(name.isEmpty() ? line.section(QLatin1Char(':'), 0, 0) : name));
            }
        }
        if (line.size() > kLineLimit) {
            return refuse(
                QStringLiteral("追加ヘッダー「%1」の行が998バイトを超えるため、送信を中止しまし"
                               "た。")
                    .arg(name.isEmpty() ? line.section(QLatin1Char(':'), 0, 0) : name));
        }
        const bool continuation =
            line.startsWith(QLatin1Char(' ')) || line.startsWith(QLatin1Char('\t'));
        if (continuation && !fields.isEmpty() && !line.trimmed().isEmpty()) {
            fields.last() += "\r\n" + line.toLatin1();
            continue;
        }
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        name = line.left(std::max<qsizetype>(colon, 0));
        bool wellFormed = colon > 0;
        for (const QChar c : name)
            wellFormed = wellFormed && isFieldNameChar(c);
        if (!wellFormed) {
            return refuse(QStringLiteral("追加ヘッダーの形が正しくないため、送信を中止しました: %1")
                              .arg(line));
        }
        if (isReservedName(name)) {
            return refuse(QStringLiteral("ヘッダー「%1」はメールの組み立てで付けるため、追加でき"
                                         "ません。送信を中止しました。")
                              .arg(name));
        }
        fields.append(line.toLatin1());
    }
    return fields;
}

} // namespace transport
