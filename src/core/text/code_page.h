#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Text that crosses code page 932 without loss: what mail servers say, and what the logs keep.
namespace codepage {

// One reply line of a mail server: UTF-8 when the bytes are valid UTF-8, else code page 932, the
// other way Japanese servers answer.
QString serverText(const QByteArray& line);
// The lines of one reply, each read on its own, joined with a blank.
QString serverText(const QList<QByteArray>& lines);

// text in code page 932, with each character it can't hold written as a decimal character
// reference "&#NNNN;" of its code point: a log line then keeps every character and still reads
// in a code page 932 editor or spreadsheet. Nothing is ever refused or replaced by "?".
QByteArray cp932WithReferences(const QString& text);

} // namespace codepage
