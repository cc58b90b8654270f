#pragma once

#include <QString>

// The program's own trimming: a blank is any character whose code is 32 or below (space, tab,
// line breaks, NUL and the other control characters), plus the ideographic space U+3000.
// Every other character, kana and kanji included, is kept.
namespace compose {

bool IsBlank(QChar c);
QString LTrim(const QString& text);
QString RTrim(const QString& text);
QString Trim(const QString& text);

// The other notion of emptiness, used by the settings check, the settings dialog and the
// schedule dialog: only spaces are removed, and only at the two ends.
QString TrimSpaces(const QString& text);
inline bool IsEmptyAfterTrimSpaces(const QString& text)
{
    return TrimSpaces(text).isEmpty();
}

} // namespace compose
