// Reading the delivery journal: the queries of the results window on a journal made here with
// plain SQL, the CSV file read back by Python's csv module, and the retry list.
#include "fakes.h"
#include "journal_test_db.h"

#include "core/delivery/recipient_list.h"
#include "core/journal/journal_report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

using journal::DomainCount;
using journal::JournalReport;
using journal::MailState;
using journal::MinuteCount;
using testing_support::TempAppDir;

namespace {

// Run 2, the newest: every state once or more, outcomes in minutes 10:00, 10:01 and 10:03.
const char* const kRuns[] = {
    "INSERT INTO runs VALUES(1, '2026-12-05T09:00:00', '2026-12-05T09:10:00', 'l.csv', 1, "
    "'2026-12-05T08:00:00', '先週のお知らせ', 'Taro', 'body', 1000, 'finished', 3)",
    "INSERT INTO runs VALUES(2, '2026-12-06T10:00:00', NULL, 'l.csv', 1, "
    "'2026-12-06T08:00:00', '今週のお知らせ', 'Taro', 'body', 1000, 'interrupted', 9)",
    "INSERT INTO mails VALUES(1, 1, 1, 'p@old.jp', 'sent', '2026-12-05T09:01:00', '250 ok')",
    "INSERT INTO mails VALUES(1, 2, 2, 'q@old.jp', 'sent', '2026-12-05T09:02:00', '250 ok')",
    "INSERT INTO mails VALUES(1, 3, 3, 'r@old.jp', 'deferred', '2026-12-05T09:03:00', '421')",
    "INSERT INTO mails VALUES(2, 1, 1, 'a@Example.JP', 'sent', '2026-12-06T10:00:05', '250 ok')",
    "INSERT INTO mails VALUES(2, 2, 2, 'b@example.jp', 'refused', '2026-12-06T10:00:40', "
    "'550 5.1.1 宛先がありません, \"b\"')",
    "INSERT INTO mails VALUES(2, 3, 4, 'c@other.jp', 'deferred', '2026-12-06T10:01:10', "
    "'451 try later\r\n451 again')",
    "INSERT INTO mails VALUES(2, 4, 5, 'd@example.jp', 'sent', '2026-12-06T10:03:00', '250')",
    "INSERT INTO mails VALUES(2, 5, 6, '\"x@y\"@third.jp', 'uncertain', '2026-12-06T10:03:30', "
    "NULL)",
    "INSERT INTO mails VALUES(2, 6, 7, 'e@other.jp', 'sending', NULL, NULL)",
    "INSERT INTO mails VALUES(2, 7, 8, 'f@example.jp', 'pending', NULL, NULL)",
    "INSERT INTO mails VALUES(2, 8, 9, 'g@example.jp', 'skipped', '2026-12-06T10:03:59', NULL)",
    "INSERT INTO mails VALUES(2, 9, 10, '=noatsign', 'refused', '2026-12-06T10:03:40', "
    "'501 bad')",
};

// The journal of kRuns, then the extra statements.
void makeDatabase(const QString& path, const QStringList& extra = {}, bool withRuns = true)
{
    QStringList statements = testing_support::kJournalSchema;
    if (withRuns) {
        for (const char* sql : kRuns)
            statements << QString::fromUtf8(sql);
    }
    testing_support::runSql(path, statements + extra);
}

std::unique_ptr<JournalReport> openReport(const QString& path)
{
    JournalReport::OpenState state;
    QString error;
    std::unique_ptr<JournalReport> report = JournalReport::open(path, &state, &error);
    if (state != JournalReport::OpenState::Opened)
        qWarning() << "not opened:" << error;
    return report;
}

journal::StateCounts counts(std::initializer_list<std::pair<MailState, qint64>> values)
{
    journal::StateCounts result;
    for (const auto& [state, n] : values)
        result[state] = n;
    return result;
}

QStringList addresses(const QList<journal::MailOutcome>& mails)
{
    QStringList result;
    for (const journal::MailOutcome& mail : mails)
        result << mail.address + QLatin1Char('/') + journal::mailStateName(mail.state);
    return result;
}

} // namespace

class TestJournalReport : public QObject
{
    Q_OBJECT
private slots:
    void opening_data();
    void opening();
    void queries();
    void csvReadByPython();
    void retryList();
};

void TestJournalReport::opening_data()
{
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<int>("expected");
    QTest::newRow("no journal yet")
        << QByteArray("missing") << int(JournalReport::OpenState::Missing);
    QTest::newRow("a journal") << QByteArray("journal") << int(JournalReport::OpenState::Opened);
    QTest::newRow("not a database")
        << QByteArray("garbage") << int(JournalReport::OpenState::Failed);
    QTest::newRow("another format version")
        << QByteArray("version 2") << int(JournalReport::OpenState::Failed);
    QTest::newRow("no mails table")
        << QByteArray("no tables") << int(JournalReport::OpenState::Failed);
}

void TestJournalReport::opening()
{
    QFETCH(QByteArray, kind);
    QFETCH(int, expected);
    TempAppDir app;
    const QString path = JournalReport::pathIn(app.path());
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (kind == "journal")
        makeDatabase(path);
    else if (kind == "garbage")
        app.write(QStringLiteral("journal/journal.sqlite"), QByteArray(4096, 'x'));
    else if (kind == "version 2")
        makeDatabase(path, {"PRAGMA user_version = 2"});
    else if (kind == "no tables")
        makeDatabase(path, {"DROP TABLE mails"}, false);

    JournalReport::OpenState state;
    QString error;
    const std::unique_ptr<JournalReport> report = JournalReport::open(path, &state, &error);
    QCOMPARE(int(state), expected);
    QCOMPARE(report != nullptr, expected == int(JournalReport::OpenState::Opened));
    QCOMPARE(error.isEmpty(), expected != int(JournalReport::OpenState::Failed));
    // Looking never creates the journal.
    if (kind == "missing")
        QVERIFY(!QFileInfo::exists(path));
}

void TestJournalReport::queries()
{
    TempAppDir app;
    const QString path = app.file(QStringLiteral("j.sqlite"));
    makeDatabase(path, {"INSERT INTO runs VALUES(3, '2026-12-07T10:00:00', NULL, 'l.csv', 1, "
                        "'2026-12-07T08:00:00', 'bad', 'T', 'b', 1000, 'finished', 1)",
                        "INSERT INTO mails VALUES(3, 1, 1, 'z@z.jp', 'lost', NULL, NULL)"});
    std::unique_ptr<JournalReport> report = openReport(path);
    QVERIFY(report);
    QString error;

    // A run being recorded at the same time, by a writer holding its transaction open, does
    // not keep the window from reading what was committed, nor shows it what was not.
    QSqlDatabase writer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "writer");
    writer.setDatabaseName(path);
    QVERIFY(writer.open());
    QSqlQuery(writer).exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    QVERIFY(writer.transaction());
    QVERIFY(QSqlQuery(writer).exec(
        QStringLiteral("UPDATE mails SET state = 'sent' WHERE run_id = 2 AND seq = 3")));

    struct Case
    {
        qint64 run;
        journal::StateCounts counts;
        QList<MinuteCount> minutes;
        int limit;
        QList<DomainCount> domains;
        QStringList failed;
        QStringList retry;
        QStringList retryWithUncertain;
    };
    const auto minute = [](int m, int hh, int mm, qint64 sent, qint64 failed) {
        return MinuteCount{m, QDateTime(QDate(2026, 12, 6), QTime(hh, mm)), sent, failed};
    };
    const QList<Case> cases = {
        {2,
         counts({{MailState::Pending, 1},
                 {MailState::Sending, 1},
                 {MailState::Sent, 2},
                 {MailState::Refused, 2},
                 {MailState::Deferred, 1},
                 {MailState::Uncertain, 1},
                 {MailState::Skipped, 1}}),
         // The skipped mail at 10:03 is no delivery; the gap at 10:02 stays a gap.
         {minute(0, 10, 0, 1, 1), minute(1, 10, 1, 0, 1), minute(3, 10, 3, 1, 2)},
         10,
         {{"example.jp", 5, 2, 1, 0},
          {"other.jp", 2, 0, 0, 1},
          {"", 1, 0, 1, 0},
          {"third.jp", 1, 0, 0, 0}},
         {"b@example.jp/refused", "c@other.jp/deferred", "\"x@y\"@third.jp/uncertain",
          "e@other.jp/sending", "=noatsign/refused"},
         {"c@other.jp"},
         {"c@other.jp", "\"x@y\"@third.jp", "e@other.jp"}},
        {2, {}, {}, 2, {{"example.jp", 5, 2, 1, 0}, {"other.jp", 2, 0, 0, 1}}, {}, {}, {}},
        {1,
         counts({{MailState::Sent, 2}, {MailState::Deferred, 1}}),
         {MinuteCount{0, QDateTime(QDate(2026, 12, 5), QTime(9, 1)), 1, 0},
          MinuteCount{1, QDateTime(QDate(2026, 12, 5), QTime(9, 2)), 1, 0},
          MinuteCount{2, QDateTime(QDate(2026, 12, 5), QTime(9, 3)), 0, 1}},
         10,
         {{"old.jp", 3, 2, 0, 1}},
         {"r@old.jp/deferred"},
         {"r@old.jp"},
         {"r@old.jp"}},
        // A run with no mails recorded yet.
        {7, {}, {}, 10, {}, {}, {}, {}},
    };
    // The unknown state of run 3 refuses the whole list rather than showing wrong counts.
    QVERIFY(!report->runs(&error));
    QVERIFY2(error.contains(QStringLiteral("lost")), qPrintable(error));
    for (const Case& c : cases) {
        const QByteArray at =
            "run " + QByteArray::number(c.run) + " limit " + QByteArray::number(c.limit);
        const auto domains = report->topDomains(c.run, c.limit, &error);
        QVERIFY2(domains, qPrintable(error));
        QVERIFY2(*domains == c.domains, at.constData());
        if (c.limit != 10)
            continue;
        const auto minutes = report->perMinute(c.run, &error);
        QVERIFY2(minutes && *minutes == c.minutes, at.constData());
        const auto failed = report->failedMails(c.run, &error);
        QVERIFY2(failed, at.constData());
        QCOMPARE(addresses(*failed), c.failed);
        QCOMPARE(report->retryAddresses(c.run, false, &error), c.retry);
        QCOMPARE(report->retryAddresses(c.run, true, &error), c.retryWithUncertain);
    }
    writer.rollback();
    QVERIFY(QSqlQuery(writer).exec(QStringLiteral("DELETE FROM mails WHERE run_id = 3")));
    QVERIFY(QSqlQuery(writer).exec(QStringLiteral("DELETE FROM runs WHERE id = 3")));
    const auto listed = report->runs(&error);
    QVERIFY2(listed, qPrintable(error));
    QCOMPARE(listed->size(), 2);
    QCOMPARE(listed->at(0).id, 2);
    QCOMPARE(listed->at(0).subject, QStringLiteral("今週のお知らせ"));
    for (const Case& c : cases) {
        const auto run = std::find_if(listed->begin(), listed->end(),
                                      [&](const journal::RunRow& r) { return r.id == c.run; });
        if (c.limit == 10)
            QVERIFY2(run == listed->end() ? c.counts == journal::StateCounts{}
                                          : run->counts == c.counts,
                     qPrintable(QString::number(c.run)));
    }
    writer.close();
    writer = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("writer"));
}

void TestJournalReport::csvReadByPython()
{
    TempAppDir app;
    const QString path = app.file(QStringLiteral("j.sqlite"));
    makeDatabase(path);
    std::unique_ptr<JournalReport> report = openReport(path);
    QVERIFY(report);
    const QString csv = app.file(QStringLiteral("out.csv"));
    app.write(QStringLiteral("out.csv"), "old contents");
    QString error;
    QVERIFY2(journal::writeOutcomesCsv(*report, 2, csv, &error), qPrintable(error));
    QVERIFY(app.read(QStringLiteral("out.csv")).startsWith("\xEF\xBB\xBF"));

    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import csv, json, sys\n"
                                 "with open(sys.argv[1], encoding='utf-8-sig', newline='') as f:\n"
                                 "    print(json.dumps(list(csv.reader(f, strict=True))))\n"),
                  csv});
    QVERIFY(python.waitForFinished(30000));
    QCOMPARE(python.exitCode(), 0);
    const QJsonArray rows = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    const QList<QStringList> expected = {
        {"行", "アドレス", "結果", "時刻", "サーバーの応答"},
        {"1", "a@Example.JP", "送信済み", "2026/12/06 10:00:05", "250 ok"},
        {"2", "b@example.jp", "拒否", "2026/12/06 10:00:40", "550 5.1.1 宛先がありません, \"b\""},
        {"4", "c@other.jp", "一時エラー", "2026/12/06 10:01:10", "451 try later\r\n451 again"},
        {"5", "d@example.jp", "送信済み", "2026/12/06 10:03:00", "250"},
        {"6", "\"x@y\"@third.jp", "結果不明", "2026/12/06 10:03:30", ""},
        {"7", "e@other.jp", "送信中", "", ""},
        {"8", "f@example.jp", "未送信", "", ""},
        {"9", "g@example.jp", "除外", "2026/12/06 10:03:59", ""},
        // A spreadsheet would take the line for a formula.
        {"10", "'=noatsign", "拒否", "2026/12/06 10:03:40", "501 bad"},
    };
    QCOMPARE(rows.size(), expected.size());
    for (qsizetype i = 0; i < rows.size(); ++i)
        QCOMPARE(rows.at(i).toVariant().toStringList(), expected.at(i));

    // A run the journal cannot read leaves the file as it was.
    report.reset();
    makeDatabase(app.file(QStringLiteral("bad.sqlite")),
                 {"INSERT INTO mails VALUES(1, 9, 9, 'z@z.jp', 'lost', NULL, NULL)"});
    report = openReport(app.file(QStringLiteral("bad.sqlite")));
    QVERIFY(report);
    const QByteArray before = app.read(QStringLiteral("out.csv"));
    QVERIFY(!journal::writeOutcomesCsv(*report, 1, csv, &error));
    QCOMPARE(app.read(QStringLiteral("out.csv")), before);
}

void TestJournalReport::retryList()
{
    TempAppDir app;
    const QString path =
        journal::retryListPath(app.path(), QDateTime(QDate(2026, 12, 6), QTime(9, 5, 59)));
    QCOMPARE(path, app.file(QStringLiteral("csv/再配信_20261206_0905.csv")));
    QString error;
    QCOMPARE(journal::writeRetryList(path, {"a@example.jp", "髙橋@例え.jp"}, &error),
             journal::RetryWrite::Written);
    const QByteArray written = "\xEF\xBB\xBF"
                               "a@example.jp\r\n" +
                               QStringLiteral("髙橋@例え.jp").toUtf8() + "\r\n";
    QCOMPARE(app.read(QStringLiteral("csv/再配信_20261206_0905.csv")), written);
    // The recipient list reads it back whole, the address without code page 932 characters
    // included.
    std::unique_ptr<delivery::RecipientList> list = delivery::RecipientList::open(path, &error);
    QVERIFY(list);
    QCOMPARE(list->readAddress(), QStringLiteral("a@example.jp"));
    QCOMPARE(list->readAddress(), QStringLiteral("髙橋@例え.jp"));
    QVERIFY(list->noAddressLeft());
    QCOMPARE(journal::writeRetryList(path, {"b@example.jp"}, &error), journal::RetryWrite::Exists);
    QCOMPARE(app.read(QStringLiteral("csv/再配信_20261206_0905.csv")), written);
}

QTEST_GUILESS_MAIN(TestJournalReport)
#include "test_journal_report.moc"
