#include "core/text/trim.h"

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

QString TrimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace compose
