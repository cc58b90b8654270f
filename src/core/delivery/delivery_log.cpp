#include "core/delivery/delivery_log.h"

#include "core/platform/clock.h"
#include "core/platform/text_files.h"
#include "core/text/code_page.h"
#include "core/text/trim.h"

namespace delivery {

QString LogStamp(const QDateTime& when)
{
    const QDate d = when.date();
    const QTime t = when.time();
    return QString::asprintf("%02d/%02d/%02d %02d:%02d:%02d", d.year() % 100, d.month(), d.day(),
                             t.hour(), t.minute(), t.second());
}

QString LogStampNow()
{
    return LogStamp(platform::clock().now());
}

QString SendLogLine(const QString& address, const QString& stamp)
{
    return address + QLatin1Char(',') + stamp;
}

QString EscapeControlCharacters(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7f || (u >= 0x80 && u <= 0x9f))
            out += QStringLiteral("\\x") +
                   QString::number(int(u), 16).rightJustified(2, QLatin1Char('0')).toUpper();
        else
            out += c;
    }
    return out;
}

QString ErrorLogLine(const QString& errorText, const QString& address, const QString& stamp)
{
    return EscapeControlCharacters(compose::Trim(errorText)) + QLatin1Char(',') +
           EscapeControlCharacters(address) + QLatin1Char(',') + stamp;
}

bool AppendLogLine(const QString& path, const QString& line, QString* errorText)
{
    auto fail = [errorText](const QString& reason) {
        if (errorText)
            *errorText = reason;
        return false;
    };
    // A character code page 932 can't hold goes as "&#NNNN;": refusing the line would pause the
    // run for a file that is writable, and "?" would lose the character.
    const QByteArray bytes = codepage::cp932WithReferences(line) + "\r\n";

    if (path.isEmpty())
        return fail(QStringLiteral("ファイル名が設定されていません"));
    return platform::appendWhole(path, bytes, errorText);
}

} // namespace delivery
