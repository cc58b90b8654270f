#pragma once

#include <QString>
#include <QtGlobal>

// The interval typed into the resume box.
namespace delivery {

// The number at the start of the trimmed text (sign and fraction allowed, blanks ignored);
// 0 when the text does not begin with a number. The resume button checks this value: 0 asks
// for an interval, below 100 is too small.
double ResumeIntervalValue(const QString& text);

// The timer interval in milliseconds: the value rounded half to even (150.5 -> 150,
// 151.5 -> 152), saturated instead of wrapping, so intervals above 65,535 ms stay as typed.
qint64 ResumeIntervalMs(double value);

} // namespace delivery
