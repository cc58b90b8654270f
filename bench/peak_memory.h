#pragma once

#include <QByteArray>
#include <QFile>

namespace bench {

// The peak resident memory of this process so far, in KiB (VmHWM of /proc/self/status); -1
// where there is no such file.
inline long peakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

} // namespace bench
