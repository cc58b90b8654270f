#include "core/delivery/delivery_log.h"

#include "core/platform/clock.h"
#include "core/platform/text_files.h"
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
    // Encode first: a line that code page 932 cannot hold is refused whole rather than written
    // with question marks in place of the address.
    const std::optional<QByteArray> encoded = platform::encodeCp932(line);
    if (!encoded)
        return QStringLiteral("コードページ932で書けない文字を含んでいます");
    const QByteArray bytes = *encoded + "\r\n";

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
