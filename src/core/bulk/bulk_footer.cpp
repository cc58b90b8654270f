#include "core/bulk/bulk_footer.h"

#include "core/bulk/bulk_headers.h"

#include <QRegularExpression>

#include <algorithm>

namespace bulk {
namespace {

const QString kAddress = QString::fromUtf16(kAddressPlaceholder);
const QString kUrl = QString::fromUtf16(kUnsubscribeUrlPlaceholder);
const QString kMailto = QString::fromUtf16(kUnsubscribeMailtoPlaceholder);
const QString kWhat = QStringLiteral("表示事項（フッター）");

// "{{...}}" first, so that a merge field is taken whole and never read as "{...}" inside it.
const QRegularExpression& braces()
{
    static const QRegularExpression re(QStringLiteral("\\{\\{[^{}]*\\}\\}|\\{[^{}]*\\}"));
    return re;
}

bool isMergeField(const QString& match)
{
    return match.startsWith(QLatin1String("{{"));
}

// A line break or a tab is text the operator typed; any other control character (an escape
// would switch the charset of an ISO-2022-JP body) is not.
bool isStrayControl(QChar c)
{
    const char16_t u = c.unicode();
    return (u < 0x20 && u != '\n' && u != '\r' && u != '\t') || u == 0x7F;
}

} // namespace

bool CheckFooter(const BulkSettings& settings, QString* problem)
{
    auto refuse = [problem](const QString& message) {
        if (problem)
            *problem = message;
        return false;
    };
    const QString& footer = settings.footer;
    if (std::any_of(footer.cbegin(), footer.cend(), isStrayControl))
        return refuse(
            QStringLiteral("%1に改行とタブのほかの制御文字が含まれています。").arg(kWhat));
    bool usesUrl = false;
    bool usesMailto = false;
    for (const QRegularExpressionMatch& m : braces().globalMatch(footer)) {
        const QString found = m.captured();
        if (isMergeField(found) || found == kAddress)
            continue;
        if (found == kUrl) {
            usesUrl = true;
            continue;
        }
        if (found == kMailto) {
            usesMailto = true;
            continue;
        }
        return refuse(QStringLiteral("%1の「%2」は使えません。宛先のアドレスは %3、配信停止用URLは"
                                     " %4、配信停止用メールは %5 と（半角小文字で）書いて下さい。")
                          .arg(kWhat, found, kAddress, kUrl, kMailto));
    }
    if (usesUrl && settings.unsubscribeUrl.isEmpty())
        return refuse(QStringLiteral("%1に %2 がありますが、配信停止用URLが入力されていません。"
                                     "配信停止の方法が空のまま送られてしまいます。")
                          .arg(kWhat, kUrl));
    if (usesMailto && settings.unsubscribeMailto.isEmpty())
        return refuse(QStringLiteral("%1に %2 がありますが、配信停止用メールが入力されていません。"
                                     "配信停止の方法が空のまま送られてしまいます。")
                          .arg(kWhat, kMailto));
    return true;
}

QString FooterFor(const BulkSettings& settings, const QString& footer, const QString& recipient)
{
    if (footer.trimmed().isEmpty())
        return QString();
    const QString address = PlainAddress(recipient);
    auto expanded = [&address](const QString& urlTemplate) {
        return urlTemplate.isEmpty() ? QString()
                                     : QString::fromLatin1(ExpandTemplate(urlTemplate, address));
    };
    // One pass: an address that itself reads "{unsubscribe_url}" is shown as it is.
    QString out;
    qsizetype from = 0;
    for (const QRegularExpressionMatch& m : braces().globalMatch(footer)) {
        out += footer.mid(from, m.capturedStart() - from);
        from = m.capturedEnd();
        const QString found = m.captured();
        if (found == kAddress)
            out += address;
        else if (found == kUrl)
            out += expanded(settings.unsubscribeUrl);
        else if (found == kMailto)
            out += expanded(MailtoTemplate(settings.unsubscribeMailto));
        else
            out += found;
    }
    out += footer.mid(from);
    out.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    out.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return out;
}

QString WithFooter(const QString& body, const QString& footer)
{
    if (footer.isEmpty())
        return body;
    if (body.isEmpty())
        return footer;
    // The composer takes a bare LF or CR for a line end as well, so either ends the last line.
    const bool lineEnded = body.endsWith(QLatin1Char('\n')) || body.endsWith(QLatin1Char('\r'));
    return body + (lineEnded ? QLatin1String("\r\n") : QLatin1String("\r\n\r\n")) + footer;
}

QString EscapeFooter(const QString& footer)
{
    QString out;
    out.reserve(footer.size());
    for (const QChar c : footer) {
        switch (c.unicode()) {
        case '\\': out += QLatin1String("\\\\"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default: out += c;
        }
    }
    return out;
}

std::optional<QString> UnescapeFooter(const QString& stored)
{
    QString out;
    out.reserve(stored.size());
    for (qsizetype i = 0; i < stored.size(); ++i) {
        const QChar c = stored.at(i);
        if (c != QLatin1Char('\\')) {
            out += c;
            continue;
        }
        if (++i == stored.size())
            return std::nullopt;
        switch (stored.at(i).unicode()) {
        case '\\': out += QLatin1Char('\\'); break;
        case 'n': out += QLatin1Char('\n'); break;
        case 'r': out += QLatin1Char('\r'); break;
        case 't': out += QLatin1Char('\t'); break;
        default: return std::nullopt;
        }
    }
    return out;
}

QString FooterTemplate(bool useMailto)
{
    const QString optOut =
        useMailto ? QStringLiteral("今後の配信を希望されない場合は、次のアドレスにメールを"
                                   "お送りいただくと配信を停止します。\n") +
                        kMailto
                  : QStringLiteral("今後の配信を希望されない場合は、次のURLから配信を停止"
                                   "できます。\n") +
                        kUrl;
    return QStringLiteral("送信者名：\n住所：\n問い合わせ先：\n配信停止の方法：") + optOut +
           QLatin1Char('\n');
}

} // namespace bulk
