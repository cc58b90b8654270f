#include "core/schedule/schedule_checks.h"

#include "core/platform/clock.h"
#include "core/text/trim.h"

#include <QDate>

#include <optional>

namespace schedule {
namespace {

// The value of the digits at the start of the trimmed text; 0 when there are none. The
// fields hold two digits at most, so the cap only guards odd prefilled texts.
qint64 leadingValue(const QString& text)
{
    const QString trimmed = compose::TrimSpaces(text);
    qint64 value = 0;
    for (QChar c : trimmed) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            break;
        value = value * 10 + (c.unicode() - '0');
        if (value > 1'000'000'000)
            break;
    }
    return value;
}

// A field read as a whole number for the range checks. Text that is not a number at all
// (only a prefill could bring it) is out of every range.
std::optional<int> wholeNumber(const QString& text)
{
    const QString trimmed = compose::TrimSpaces(text);
    if (trimmed.isEmpty() || trimmed.size() > 9)
        return std::nullopt;
    for (QChar c : trimmed) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    return trimmed.toInt();
}

bool isFourDigitYear(const QString& text)
{
    const QString trimmed = compose::TrimSpaces(text);
    if (trimmed.size() != 4)
        return false;
    for (QChar c : trimmed) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

QString nowAs(const QString& format)
{
    return platform::clock().now().toString(format);
}

// Equal passes: a start time at the very current moment is not past.
bool isPast(const QString& entered, const QString& format)
{
    return QString::compare(entered, nowAs(format), Qt::CaseSensitive) < 0;
}

QString twoDigits(qint64 value)
{
    return QString::number(value).rightJustified(2, QLatin1Char('0'));
}

} // namespace

bool CheckScheduleFields(const ScheduleFields& f, CheckFailure* failure)
{
    const QString sl = QStringLiteral("/");
    auto fail = [failure](Field field, const char16_t* message) {
        if (failure)
            *failure = CheckFailure{field, QString::fromUtf16(message)};
        return false;
    };

    if (compose::IsEmptyAfterTrimSpaces(f.year))
        return fail(Field::Year, u"年度が未入力です。");
    if (compose::IsEmptyAfterTrimSpaces(f.month))
        return fail(Field::Month, u"月が未入力です。");
    if (compose::IsEmptyAfterTrimSpaces(f.day))
        return fail(Field::Day, u"日が未入力です。");
    if (compose::IsEmptyAfterTrimSpaces(f.hour))
        return fail(Field::Hour, u"時が未入力です。");
    if (compose::IsEmptyAfterTrimSpaces(f.minute))
        return fail(Field::Minute, u"分が未入力です。");

    // The past checks compare texts, under which a shorter year such as 26 sorts after 2026
    // and would arm a start time that no clock reading ever reaches.
    if (!isFourDigitYear(f.year))
        return fail(Field::Year, u"年度は4桁で入力して下さい。");

    if (isPast(f.year, QStringLiteral("yyyy")))
        return fail(Field::Year, u"入力年度が過去は入力できません。");

    if (isPast(f.year + sl + f.month, QStringLiteral("yyyy/MM")))
        return fail(Field::Month, u"入力月が過去は入力できません。");
    const std::optional<int> month = wholeNumber(f.month);
    if (!month || *month < 1 || *month > 12)
        return fail(Field::Month, u"入力月の範囲に誤りがあります。");

    if (isPast(f.year + sl + f.month + sl + f.day, QStringLiteral("yyyy/MM/dd")))
        return fail(Field::Day, u"入力日が過去は入力できません。");
    const std::optional<int> day = wholeNumber(f.day);
    const int year = compose::TrimSpaces(f.year).toInt();
    if (!day || *day < 1 || *day > DaysInMonth(year, *month))
        return fail(Field::Day, u"入力日の範囲に誤りがあります。");

    if (isPast(f.year + sl + f.month + sl + f.day + QLatin1Char(' ') + f.hour,
               QStringLiteral("yyyy/MM/dd HH")))
        return fail(Field::Hour, u"入力時が過去は入力できません。");
    const std::optional<int> hour = wholeNumber(f.hour);
    if (!hour || *hour < 0 || *hour > 23)
        return fail(Field::Hour, u"時の範囲に誤りがあります。");

    // Seconds are fixed at 00, so the current minute passes only at its second 00.
    if (isPast(f.year + sl + f.month + sl + f.day + QLatin1Char(' ') + f.hour + QLatin1Char(':') +
                   f.minute + QStringLiteral(":00"),
               QStringLiteral("yyyy/MM/dd HH:mm:ss")))
        return fail(Field::Minute, u"入力分が過去は入力できません。");
    const std::optional<int> minute = wholeNumber(f.minute);
    if (!minute || *minute < 0 || *minute > 59)
        return fail(Field::Minute, u"分の範囲に誤りがあります。");

    return true;
}

int DaysInMonth(int year, int month)
{
    if (month < 1 || month > 12)
        return 0;
    const QDate first(year, month, 1);
    if (!first.isValid())
        return 0;
    // QDate reaches far beyond year 9999, so December 9999 steps into January 10000 safely.
    const QDate last = first.addMonths(1).addDays(-1);
    return last.isValid() ? last.day() : 0;
}

QString ScheduleText(const ScheduleFields& f)
{
    return f.year + QStringLiteral("年") + f.month + QStringLiteral("月") + f.day +
           QStringLiteral("日 ") + f.hour + QStringLiteral("時") + f.minute +
           QStringLiteral("分00秒");
}

QString ClockScheduleText(const QDateTime& time)
{
    return time.toString(QStringLiteral("yyyy年MM月dd日 HH時mm分ss秒"));
}

ScheduleFields FieldsFromScheduleText(const QString& text)
{
    return ScheduleFields{text.mid(0, 4), text.mid(5, 2), text.mid(8, 2), text.mid(12, 2),
                          text.mid(15, 2)};
}

QString ZeroFillMonthDay(const QString& text)
{
    if (compose::IsEmptyAfterTrimSpaces(text))
        return text;
    return twoDigits(leadingValue(text));
}

QString ZeroFillHourMinute(const QString& text)
{
    return twoDigits(leadingValue(text));
}

} // namespace schedule
