#include "compose/trim.h"

namespace compose {

bool IsBlank(QChar c)
{
    return c.unicode() <= 32 || c.unicode() == 0x3000;
}

QString LTrim(const QString& text)
{
    qsizetype i = 0;
    while (i < text.size() && IsBlank(text.at(i)))
        ++i;
    return text.mid(i);
}

QString RTrim(const QString& text)
{
    qsizetype n = text.size();
    while (n > 0 && IsBlank(text.at(n - 1)))
        --n;
    return text.left(n);
}

QString Trim(const QString& text)
{
    return RTrim(LTrim(text));
}

} // namespace compose
