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

} // namespace compose
