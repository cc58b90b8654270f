#include "core/bulk/bulk_headers.h"

#include "core/text/trim.h"

#include <QRegularExpression>
#include <QUrl>

namespace bulk {
namespace {

// Keeps header lines short enough for every reader; a line only grows past it when a single
// URL is longer.
constexpr int kFoldAt = 78;

const QString kPlaceholder = QString::fromUtf16(kAddressPlaceholder);

// A stand-in recipient for checking a template as it will be sent.
const QString kSampleAddress = QStringLiteral("taro+news@example.jp");

// What a template may hold as it is: the characters of a URI (RFC 3986) apart from ",", which
// would split the header's list of URLs. Anything else is written %XX.
std::optional<QString> badCharacter(const QString& text)
{
    static const QString marks = QStringLiteral("-._~:/?#[]@!$&'()*+;=%");
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool alnum =
            (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
        if (!alnum && !marks.contains(c))
            return u == ' '   ? QStringLiteral("空白")
                   : u < 0x20 ? QStringLiteral("制御文字")
                              : QString(c);
    }
    return std::nullopt;
}

// False, with the message in *problem, when the expanded template holds a character a URL
// cannot carry.
bool checkCharacters(const QString& expanded, const QString& what, QString* problem)
{
    if (const std::optional<QString> c = badCharacter(expanded)) {
        if (problem)
            *problem = QStringLiteral("%1に使えない文字「%2」が含まれています。URLに使える半角の"
                                      "英数字と記号で入力して下さい（ほかの文字は %XX の形で書き"
                                      "ます）。")
                           .arg(what, *c);
        return false;
    }
    return true;
}

// False, with the message in *problem, when the template holds a "{...}" other than the
// placeholder: a misspelt one ("{Address}", "{adress}") would reach every recipient as typed.
bool checkPlaceholders(const QString& text, const QString& what, QString* problem)
{
    static const QRegularExpression braces(QStringLiteral("\\{[^{}]*\\}"));
    for (const QRegularExpressionMatch& m : braces.globalMatch(text)) {
        if (m.captured() == kPlaceholder)
            continue;
        if (problem)
            *problem = QStringLiteral("%1の「%2」は使えません。宛先のアドレスは %3 と"
                                      "（半角小文字で）書いて下さい。")
                           .arg(what, m.captured(), kPlaceholder);
        return false;
    }
    return true;
}

// The template as it will be sent to a stand-in recipient, still as text, so that a character
// of the template itself is shown as typed.
QString withSample(const QString& urlTemplate)
{
    return QString(urlTemplate)
        .replace(kPlaceholder, QString::fromLatin1(PercentEncodedAddress(kSampleAddress)));
}

} // namespace

QString PlainAddress(const QString& text)
{
    QString address = compose::Trim(text);
    if (address.size() >= 2 && address.startsWith(QLatin1Char('<')) &&
        address.endsWith(QLatin1Char('>')))
        address = address.mid(1, address.size() - 2);
    return address;
}

QByteArray PercentEncodedAddress(const QString& address)
{
    return QUrl::toPercentEncoding(address);
}

QByteArray ExpandTemplate(const QString& urlTemplate, const QString& address)
{
    const QByteArray encoded = PercentEncodedAddress(address);
    QByteArray out;
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = urlTemplate.indexOf(kPlaceholder, from);
        out += urlTemplate.mid(from, at < 0 ? -1 : at - from).toUtf8();
        if (at < 0)
            return out;
        out += encoded;
        from = at + kPlaceholder.size();
    }
}

QString MailtoTemplate(const QString& typed)
{
    QString text = typed;
    if (!text.isEmpty() && !text.contains(QLatin1Char(':')) && text.contains(QLatin1Char('@')))
        text.prepend(QLatin1String("mailto:"));
    QString out;
    for (qsizetype i = 0; i < text.size();) {
        if (text.at(i).unicode() < 0x80) {
            out += text.at(i++);
            continue;
        }
        qsizetype end = i;
        while (end < text.size() && text.at(end).unicode() >= 0x80)
            ++end;
        out += QString::fromLatin1(QUrl::toPercentEncoding(text.mid(i, end - i)));
        i = end;
    }
    return out;
}

bool CheckMailtoTemplate(const QString& typed, QString* problem)
{
    auto refuse = [problem](const QString& message) {
        if (problem)
            *problem = message;
        return false;
    };
    if (typed.isEmpty())
        return true;
    const QString what = QStringLiteral("配信停止用メール");
    const QString mailtoTemplate = MailtoTemplate(typed);
    if (!mailtoTemplate.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive))
        return refuse(QStringLiteral("配信停止用メールは「mailto:」で始めて下さい。"));
    if (!checkPlaceholders(typed, what, problem))
        return false;
    const QString expanded = withSample(mailtoTemplate);
    if (!checkCharacters(expanded, what, problem))
        return false;
    const QString to = expanded.mid(7).section(QLatin1Char('?'), 0, 0);
    const qsizetype at = to.lastIndexOf(QLatin1Char('@'));
    if (at <= 0 || at == to.size() - 1)
        return refuse(QStringLiteral("配信停止用メールのアドレスが正しくありません。"));
    return true;
}

bool CheckUrlTemplate(const QString& urlTemplate, QString* problem)
{
    auto refuse = [problem](const QString& message) {
        if (problem)
            *problem = message;
        return false;
    };
    if (urlTemplate.isEmpty())
        return true;
    const QString what = QStringLiteral("配信停止用URL");
    if (!urlTemplate.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return refuse(QStringLiteral("配信停止用URLは「https://」で始めて下さい。"));
    if (!checkPlaceholders(urlTemplate, what, problem))
        return false;
    const QString expanded = withSample(urlTemplate);
    if (!checkCharacters(expanded, what, problem))
        return false;
    const QUrl url(expanded, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return refuse(QStringLiteral("配信停止用URLのホスト名が正しくありません。"));
    if (!urlTemplate.contains(kPlaceholder))
        return refuse(QStringLiteral("配信停止用URLに %1 がありません。%1 がないと、どの宛先が"
                                     "配信停止を求めたのか分かりません。")
                          .arg(kPlaceholder));
    return true;
}

QString ExtraHeaders(const BulkSettings& settings, MailKind kind, const QString& recipient)
{
    QStringList fields;
    if (kind == MailKind::Notice) {
        if (settings.autoSubmitted)
            fields << QStringLiteral("Auto-Submitted: auto-generated");
        return fields.join(QLatin1String("\r\n"));
    }

    // The https URL first: RFC 8058's one-click receivers look for it, and the mailto is
    // the fallback of older readers.
    const QString address = PlainAddress(recipient);
    QStringList uris;
    if (!settings.unsubscribeUrl.isEmpty())
        uris << QLatin1Char('<') +
                    QString::fromLatin1(ExpandTemplate(settings.unsubscribeUrl, address)) +
                    QLatin1Char('>');
    if (!settings.unsubscribeMailto.isEmpty())
        uris << QLatin1Char('<') +
                    QString::fromLatin1(
                        ExpandTemplate(MailtoTemplate(settings.unsubscribeMailto), address)) +
                    QLatin1Char('>');
    if (!uris.isEmpty()) {
        QString field = QStringLiteral("List-Unsubscribe: ") + uris.join(QLatin1String(", "));
        if (field.size() > kFoldAt)
            field = QStringLiteral("List-Unsubscribe: ") + uris.join(QLatin1String(",\r\n "));
        fields << field;
    }
    if (!settings.unsubscribeUrl.isEmpty())
        fields << QStringLiteral("List-Unsubscribe-Post: List-Unsubscribe=One-Click");
    if (settings.precedenceBulk)
        fields << QStringLiteral("Precedence: bulk");
    return fields.join(QLatin1String("\r\n"));
}

} // namespace bulk
