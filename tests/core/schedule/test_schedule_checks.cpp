#include "fakes.h"

#include "core/schedule/schedule_checks.h"

#include <QTest>

using schedule::CheckScheduleFields;
using schedule::Field;
using schedule::ScheduleFields;

Q_DECLARE_METATYPE(Field)

namespace {

// A clock that moves on by one second every time it is read.
class SteppingClock : public platform::Clock
{
public:
    explicit SteppingClock(QDateTime start) : m_next(std::move(start)) {}
    QDateTime now() const override
    {
        const QDateTime current = m_next;
        m_next = m_next.addSecs(1);
        return current;
    }

private:
    mutable QDateTime m_next;
};

QDateTime at(int y, int mo, int d, int h, int mi, int s)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s));
}

} // namespace

class TestScheduleChecks : public QObject
{
    Q_OBJECT
private slots:
    void checks_data();
    void checks();
    void eachCheckReadsTheClockAfresh();
    void daysInMonth_data();
    void daysInMonth();
    void zeroFill();
    void scheduleTexts();
};

void TestScheduleChecks::checks_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QStringList>("fields"); // year, month, day, hour, minute
    QTest::addColumn<QString>("message");    // empty: accepted
    QTest::addColumn<Field>("focus");

    const QDateTime now = at(2026, 3, 7, 9, 5, 30);
    auto row = [&](const char* name, QStringList fields, const char16_t* message, Field focus,
                   QDateTime when = {}) {
        QTest::newRow(name) << (when.isValid() ? when : now) << fields
                            << QString::fromUtf16(message) << focus;
    };
    const QString y = QStringLiteral("2026");

    // Completeness, field by field; spaces alone count as empty.
    row("year empty", {"", "", "", "", ""}, u"年度が未入力です。", Field::Year);
    row("year blanks", {"  ", "03", "07", "10", "00"}, u"年度が未入力です。", Field::Year);
    row("month empty", {y, "", "", "", ""}, u"月が未入力です。", Field::Month);
    row("day empty", {y, "03", "", "", ""}, u"日が未入力です。", Field::Day);
    row("hour empty", {y, "03", "07", "", ""}, u"時が未入力です。", Field::Hour);
    row("minute empty", {y, "03", "07", "10", ""}, u"分が未入力です。", Field::Minute);

    // As text, 26 and 202 sort after 2026 and would pass every past check.
    row("two-digit year", {"26", "03", "07", "10", "00"}, u"年度は4桁で入力して下さい。",
        Field::Year);
    row("three-digit year", {"202", "12", "31", "23", "59"}, u"年度は4桁で入力して下さい。",
        Field::Year);

    row("year past", {"2025", "12", "31", "23", "59"}, u"入力年度が過去は入力できません。",
        Field::Year);
    row("month past", {y, "02", "28", "23", "59"}, u"入力月が過去は入力できません。", Field::Month);
    row("month 00 this year is past", {y, "00", "01", "00", "00"},
        u"入力月が過去は入力できません。", Field::Month);
    row("month 00 next year is out of range", {"2027", "00", "01", "00", "00"},
        u"入力月の範囲に誤りがあります。", Field::Month);
    row("month 13", {y, "13", "01", "00", "00"}, u"入力月の範囲に誤りがあります。", Field::Month);
    row("day past", {y, "03", "06", "23", "59"}, u"入力日が過去は入力できません。", Field::Day);
    row("day 00 next month", {y, "04", "00", "00", "00"}, u"入力日の範囲に誤りがあります。",
        Field::Day);
    row("31 April", {y, "04", "31", "00", "00"}, u"入力日の範囲に誤りがあります。", Field::Day);
    row("29 February, common year", {"2027", "02", "29", "00", "00"},
        u"入力日の範囲に誤りがあります。", Field::Day);
    row("29 February, 2100 is common", {"2100", "02", "29", "00", "00"},
        u"入力日の範囲に誤りがあります。", Field::Day);
    row("29 February, leap year", {"2028", "02", "29", "00", "00"}, u"", Field::Year);
    row("29 February, 2400 is leap", {"2400", "02", "29", "12", "00"}, u"", Field::Year);
    row("hour past", {y, "03", "07", "08", "59"}, u"入力時が過去は入力できません。", Field::Hour);
    row("hour 24 today", {y, "03", "07", "24", "00"}, u"時の範囲に誤りがあります。", Field::Hour);
    row("minute past", {y, "03", "07", "09", "04"}, u"入力分が過去は入力できません。",
        Field::Minute);
    row("current minute after second 00", {y, "03", "07", "09", "05"},
        u"入力分が過去は入力できません。", Field::Minute);
    row("current minute at second 00", {y, "03", "07", "09", "05"}, u"", Field::Year,
        at(2026, 3, 7, 9, 5, 0));
    row("minute 60", {y, "03", "07", "09", "60"}, u"分の範囲に誤りがあります。", Field::Minute);
    row("next minute", {y, "03", "07", "09", "06"}, u"", Field::Year);
    row("afternoon on the 24-hour clock", {y, "03", "07", "13", "00"}, u"", Field::Year,
        at(2026, 3, 7, 12, 59, 59));
    row("last minute of 9999", {"9999", "12", "31", "23", "59"}, u"", Field::Year);
}

void TestScheduleChecks::checks()
{
    QFETCH(QDateTime, now);
    QFETCH(QStringList, fields);
    QFETCH(QString, message);
    QFETCH(Field, focus);

    testing_support::ScopedFakeClock clock(now);
    schedule::CheckFailure failure{Field::Year, QStringLiteral("untouched")};
    const bool passed = CheckScheduleFields(
        ScheduleFields{fields[0], fields[1], fields[2], fields[3], fields[4]}, &failure);
    if (message.isEmpty()) {
        QVERIFY2(passed, qPrintable(failure.message));
        return;
    }
    QVERIFY(!passed);
    QCOMPARE(failure.message, message);
    QCOMPARE(failure.field, focus);
}

void TestScheduleChecks::eachCheckReadsTheClockAfresh()
{
    // The five past checks read the clock at 09:05:56, :57, :58, :59 and 09:06:00; the minute
    // check, last of them, meets 09:06:00 exactly and passes. Starting one second later it
    // reads 09:06:01 and fails, although the first reading was well before the time.
    auto previous = platform::setClock(std::make_unique<SteppingClock>(at(2026, 3, 7, 9, 5, 56)));
    const ScheduleFields fields{"2026", "03", "07", "09", "06"};
    QVERIFY(CheckScheduleFields(fields, nullptr));

    platform::setClock(std::make_unique<SteppingClock>(at(2026, 3, 7, 9, 5, 57)));
    schedule::CheckFailure failure;
    const bool passed = CheckScheduleFields(fields, &failure);
    platform::setClock(std::move(previous));
    QVERIFY(!passed);
    QCOMPARE(failure.field, Field::Minute);
    QCOMPARE(failure.message, QStringLiteral("入力分が過去は入力できません。"));
}

void TestScheduleChecks::daysInMonth_data()
{
    QTest::addColumn<int>("year");
    QTest::addColumn<int>("month");
    QTest::addColumn<int>("days");
    QTest::newRow("January") << 2026 << 1 << 31;
    QTest::newRow("April") << 2026 << 4 << 30;
    QTest::newRow("February 2024") << 2024 << 2 << 29;
    QTest::newRow("February 2026") << 2026 << 2 << 28;
    QTest::newRow("February 1900") << 1900 << 2 << 28;
    QTest::newRow("February 2000") << 2000 << 2 << 29;
    QTest::newRow("December 9999") << 9999 << 12 << 31;
    QTest::newRow("month 0") << 2026 << 0 << 0;
    QTest::newRow("month 13") << 2026 << 13 << 0;
}

void TestScheduleChecks::daysInMonth()
{
    QFETCH(int, year);
    QFETCH(int, month);
    QFETCH(int, days);
    QCOMPARE(schedule::DaysInMonth(year, month), days);
}

void TestScheduleChecks::zeroFill()
{
    using schedule::ZeroFillHourMinute;
    using schedule::ZeroFillMonthDay;
    QCOMPARE(ZeroFillMonthDay(QStringLiteral("7")), QStringLiteral("07"));
    QCOMPARE(ZeroFillMonthDay(QStringLiteral("12")), QStringLiteral("12"));
    QCOMPARE(ZeroFillMonthDay(QStringLiteral("0")), QStringLiteral("00"));
    QCOMPARE(ZeroFillMonthDay(QString()), QString());
    QCOMPARE(ZeroFillMonthDay(QStringLiteral(" ")), QStringLiteral(" "));
    QCOMPARE(ZeroFillHourMinute(QString()), QStringLiteral("00"));
    QCOMPARE(ZeroFillHourMinute(QStringLiteral("5")), QStringLiteral("05"));
    QCOMPARE(ZeroFillHourMinute(QStringLiteral("23")), QStringLiteral("23"));
}

void TestScheduleChecks::scheduleTexts()
{
    const ScheduleFields fields{"2026", "03", "07", "09", "05"};
    const QString text = schedule::ScheduleText(fields);
    QCOMPARE(text, QStringLiteral("2026年03月07日 09時05分00秒"));
    QCOMPARE(text.size(), 21);

    const ScheduleFields back = schedule::FieldsFromScheduleText(text);
    QCOMPARE(back.year, fields.year);
    QCOMPARE(back.month, fields.month);
    QCOMPARE(back.day, fields.day);
    QCOMPARE(back.hour, fields.hour);
    QCOMPARE(back.minute, fields.minute);
    QVERIFY(schedule::FieldsFromScheduleText(QString()).year.isEmpty());

    // The clock in the same layout orders against the start time as the times do.
    using schedule::ClockScheduleText;
    QCOMPARE(ClockScheduleText(at(2026, 3, 7, 9, 5, 0)), text);
    QVERIFY(ClockScheduleText(at(2026, 3, 7, 9, 4, 59)) < text);
    QVERIFY(ClockScheduleText(at(2026, 3, 7, 9, 5, 1)) > text);
    QVERIFY(ClockScheduleText(at(2026, 3, 7, 21, 0, 0)) > text);
    QVERIFY(ClockScheduleText(at(2026, 3, 6, 23, 59, 59)) < text);
}

QTEST_GUILESS_MAIN(TestScheduleChecks)
#include "test_schedule_checks.moc"
