#pragma once

#include <QDateTime>
#include <QString>

// The schedule dialog's rules without its widgets: the texts of the start time, the zero-fill
// of the fields and the checks that decide whether a start time may be armed.
namespace schedule {

// The five input fields of the schedule dialog, as their texts stand.
struct ScheduleFields
{
    QString year;
    QString month;
    QString day;
    QString hour;
    QString minute;
};

enum class Field { Year, Month, Day, Hour, Minute };

struct CheckFailure
{
    Field field; // where the focus goes
    QString message;
};

// The checks of the confirm button, in order. False when one fails, with the first failure in
// *failure. Every check that looks at the time reads platform::clock() afresh.
bool CheckScheduleFields(const ScheduleFields& fields, CheckFailure* failure);

// Days of a month, found as the calendar does it: the first of the month, one month on, one
// day back. 0 for a month outside 1 to 12 or a year the calendar does not hold.
int DaysInMonth(int year, int month);

// The start time as the scheduled start keeps it: y年mm月dd日 hh時nn分00秒, from the field
// texts as they stand.
QString ScheduleText(const ScheduleFields& fields);

// A moment in the same layout (seconds included), so that the two compare character by
// character in time order.
QString ClockScheduleText(const QDateTime& time);

// The fields a schedule text fills, taken by character position; the text is not checked.
ScheduleFields FieldsFromScheduleText(const QString& text);

// Leaving the month or day field: a non-blank text becomes its number with at least two
// digits; a blank one is left as it is.
QString ZeroFillMonthDay(const QString& text);

// Leaving the hour or minute field: always the number with at least two digits; blank is 0.
QString ZeroFillHourMinute(const QString& text);

} // namespace schedule
