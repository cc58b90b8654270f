#include "core/delivery/delivery_log.h"

#include "core/platform/clock.h"
#include "core/text/code_page.h"
#include "core/text/trim.h"

#include <QFile>

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

QString ErrorLogLine(const QString& errorText, const QString& address, const QString& stamp)
{
    return compose::Trim(errorText) + QLatin1Char(',') + address + QLatin1Char(',') + stamp;
}

std::optional<QString> AppendLogLine(const QString& path, const QString& line)
{
    // A character code page 932 can't hold goes as "&#NNNN;": refusing the line would pause the
    // run for a file that is writable, and "?" would lose the character.
    const QByteArray bytes = codepage::cp932WithReferences(line) + "\r\n";

    if (path.isEmpty())
        return QStringLiteral("ファイル名が設定されていません");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return file.errorString();
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.close();
        return reason;
    }
    file.close();
    if (file.error() != QFileDevice::NoError)
        return file.errorString();
    return std::nullopt;
}

QString ErrorTextOfBuffer(const QString& buffer)
{
    const qsizetype nul = buffer.indexOf(QChar(u'\0'));
    return nul < 0 ? buffer : buffer.left(nul);
}

} // namespace delivery
