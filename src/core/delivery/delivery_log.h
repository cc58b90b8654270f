#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

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
// trimmed error text,address,stamp. Fields are not quoted; control characters in them are
// written as \xNN (EscapeControlCharacters), so that whatever a list line holds, a record is
// one line of the file.
QString ErrorLogLine(const QString& errorText, const QString& address, const QString& stamp);
// C0 and C1 control characters and DEL as "\x" and two upper-case hex digits ("\x0A").
QString EscapeControlCharacters(const QString& text);

// Appends line + CR LF to the file at path, creating it owner-only when missing (an existing
// one of this user is made owner-only too), and closes it again.
// Characters code page 932 can't hold are written as "&#NNNN;". The whole line or nothing: a
// write the system cuts short is taken back. False when the line could not be written, with
// the reason in *errorText (the system's own, e.g. a full disk).
bool AppendLogLine(const QString& path, const QString& line, QString* errorText);

} // namespace delivery
