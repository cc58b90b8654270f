#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <optional>

// The send log and the error log of a delivery run: comma-separated lines in code page 932,
// each ended by CR LF, appended one at a time.
namespace delivery {

// "yy/mm/dd hh:nn:ss", every part two digits, hours 00 to 23.
QString LogStamp(const QDateTime& when);
// The stamp of platform::clock()'s current time.
QString LogStampNow();

// The log switches count only when exactly 1; 2 and -1 are off.
inline bool LogSwitchOn(qint16 value)
{
    return value == 1;
}

// address,stamp
QString SendLogLine(const QString& address, const QString& stamp);
// trimmed error text,address,stamp. Fields are neither quoted nor escaped.
QString ErrorLogLine(const QString& errorText, const QString& address, const QString& stamp);

// Appends line + CR LF to the file at path, creating it when missing, and closes it again.
// Characters code page 932 can't hold are written as "&#NNNN;". Returns nullopt on success,
// else the reason the line could not be written.
std::optional<QString> AppendLogLine(const QString& path, const QString& line);

// A transport error buffer holds its text up to the first NUL; the rest is filler.
QString ErrorTextOfBuffer(const QString& buffer);

} // namespace delivery
