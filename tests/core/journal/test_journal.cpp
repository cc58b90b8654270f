// The journal: which row a mail's outcome leaves, which rows a resume sends, which moves the
// rows allow, and what the file holds, read back with plain SQL on a connection of the test's
// own.
#include "fakes.h"
#include "journal_test_db.h"

#include "core/journal/journal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

using journal::MailState;
using testing_support::TempAppDir;
using transport::FailureClass;

namespace {

// The rows as the file holds them: "address=state" in list order, and the run's state.
QStringList fileRows(const QString& path, const QString& sql)
{
    QStringList out;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("judge"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            query.exec(sql);
            while (query.next())
                out.append(query.value(0).toString());
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("judge"));
    return out;
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT
private slots:
    void outcomeDecidesTheRow();
    void resumeSendsPendingAndDeferredOnly();
    void rowsMoveOnlyForward();
    void pruneKeepsRecentAndRunningRuns();
    void refusesWhatItCannotWrite();
    void resumeQuestionText();
    void softBouncesCountRunsInARow();
    void firstVersionJournalKeepsItsRows();
};

void TestJournal::outcomeDecidesTheRow()
{
    const struct
    {
        bool ok;
        bool mayHaveArrived;
        FailureClass failure;
        int replyCode;
        const char* expected;
    } cases[] = {
        {true, false, FailureClass::None, 0, "sent"},
        {false, true, FailureClass::Connection, 0, "uncertain"}, // lost after "."
        {false, false, FailureClass::Transaction, 550, "refused"},
        {false, false, FailureClass::Transaction, 554, "refused"},
        {false, false, FailureClass::Transaction, 451, "deferred"},
        {false, false, FailureClass::Transaction, 452, "deferred"},
        {false, false, FailureClass::Connection, 0, "deferred"},   // no session
        {false, false, FailureClass::Connection, 421, "deferred"}, // closing down
        {false, false, FailureClass::Local, 0, "deferred"},        // nothing left this machine
    };
    for (const auto& c : cases) {
        transport::SendOutcome outcome;
        outcome.ok = c.ok;
        outcome.mayHaveArrived = c.mayHaveArrived;
        outcome.failure = c.failure;
        outcome.replyCode = c.replyCode;
        QCOMPARE(journal::mailStateName(journal::outcomeState(outcome)), QLatin1String(c.expected));
    }
}

void TestJournal::resumeSendsPendingAndDeferredOnly()
{
    // One row per state, twice over; what a resume does with each.
    const QStringList names{"sent",      "pending", "sending",  "refused", "deferred",
                            "uncertain", "skipped", "deferred", "pending", "sent"};
    QList<journal::MailRow> rows;
    for (int i = 0; i < names.size(); ++i)
        rows.append(
            {i, QStringLiteral("a%1@example.jp").arg(i), *journal::mailStateFromName(names[i])});
    const journal::ResumePlan plan = journal::planResume(rows);
    QList<qint64> toSend, inFlight;
    for (const auto& row : plan.toSend)
        toSend.append(row.seq);
    for (const auto& row : plan.inFlight)
        inFlight.append(row.seq);
    QCOMPARE(toSend, (QList<qint64>{1, 4, 7, 8}));
    QCOMPARE(inFlight, (QList<qint64>{2, 5}));
    QCOMPARE(plan.reached,
             (QStringList{"a0@example.jp", "a2@example.jp", "a5@example.jp", "a9@example.jp"}));
    QCOMPARE(plan.sendCount, 7); // sent 2, sending 1, refused 1, deferred 2, uncertain 1
    QCOMPARE(plan.errCount, 5);
    QCOMPARE(plan.skipCount, 1);
    QCOMPARE(plan.done, 6);
}

void TestJournal::rowsMoveOnlyForward()
{
    TempAppDir app;
    QString reason;
    auto j = journal::Journal::open(app.path(), &reason);
    QVERIFY2(j, qPrintable(reason));
    journal::RunMessage message;
    message.list = {app.path() + "/csv/l.csv", 10, "2026-01-01T00:00:00", "ab"};
    message.subject = QStringLiteral("件名");
    const QDateTime now(QDate(2026, 5, 1), QTime(9, 30));
    const auto id =
        j->beginRun(message, {{1, "a@x.jp"}, {3, "b@x.jp"}, {4, "c@x.jp"}}, now, &reason);
    QVERIFY2(id, qPrintable(reason));

    // Each step on row seq: whether the journal takes it.
    const struct
    {
        qint64 seq;
        const char* step; // "sending" or an outcome
        bool taken;
    } steps[] = {
        {0, "sending", true},  {0, "sent", true},     {0, "sending", false}, // never twice
        {1, "sending", true},  {1, "sending", false},                        // still in flight
        {1, "deferred", true}, {1, "sending", true},  {1, "refused", true},  {2, "skipped", true},
        {2, "sending", false}, {9, "sending", false}, {9, "sent", false},
    };
    for (const auto& s : steps) {
        QString why;
        const bool taken =
            QLatin1String(s.step) == QLatin1String("sending")
                ? j->markSending(*id, s.seq, now, &why)
                : j->recordOutcome(*id, s.seq, *journal::mailStateFromName(s.step), "r", now, &why);
        QVERIFY2(taken == s.taken,
                 qPrintable(QStringLiteral("%1 %2: %3").arg(s.seq).arg(s.step, why)));
        QCOMPARE(why.isEmpty(), s.taken);
    }
    QVERIFY(j->endRun(*id, journal::RunState::Cancelled, now, &reason));
    j.reset();
    const QString path = app.path() + "/journal/journal.sqlite";
    QCOMPARE(
        fileRows(path, "SELECT address || '@' || line || '=' || state FROM mails ORDER BY seq"),
        (QStringList{"a@x.jp@1=sent", "b@x.jp@3=refused", "c@x.jp@4=skipped"}));
    QCOMPARE(fileRows(path,
                      "SELECT state || ' ' || started || ' ' || total || ' ' || subject FROM runs"),
             QStringList{QStringLiteral("cancelled 2026-05-01T09:30:00 3 件名")});
    QCOMPARE(fileRows(path, "PRAGMA journal_mode"), QStringList{"wal"});
    QCOMPARE(fileRows(path, "PRAGMA user_version"), QStringList{"2"});
}

void TestJournal::pruneKeepsRecentAndRunningRuns()
{
    TempAppDir app;
    QString reason;
    auto j = journal::Journal::open(app.path(), &reason);
    QVERIFY2(j, qPrintable(reason));
    const QDateTime now(QDate(2026, 12, 1), QTime(12, 0));
    const struct
    {
        int daysAgo;
        journal::RunState end;
        bool kept;
    } runs[] = {
        {181, journal::RunState::Finished, false}, {181, journal::RunState::Running, true},
        {179, journal::RunState::Abandoned, true}, {400, journal::RunState::Cancelled, false},
        {0, journal::RunState::Finished, true},
    };
    QStringList expected;
    for (const auto& r : runs) {
        journal::RunMessage message;
        message.subject = QString::number(r.daysAgo) + journal::runStateName(r.end);
        const auto id = j->beginRun(message, {{1, "a@x.jp"}}, now.addDays(-r.daysAgo), &reason);
        QVERIFY(id);
        if (r.end != journal::RunState::Running)
            QVERIFY(j->endRun(*id, r.end, now, &reason));
        if (r.kept)
            expected.append(message.subject);
    }
    QVERIFY(j->prune(now, journal::Journal::kDefaultRetentionDays, &reason));
    j.reset();
    const QString path = app.path() + "/journal/journal.sqlite";
    QCOMPARE(fileRows(path, "SELECT subject FROM runs ORDER BY id"), expected);
    QCOMPARE(fileRows(path, "SELECT count(*) FROM mails"), QStringList{"3"});
}

void TestJournal::refusesWhatItCannotWrite()
{
    // A folder where the file should be, a file that is no database, a newer journal: each
    // refuses with a reason, never an empty journal in its place.
    const struct
    {
        const char* name;
        std::function<void(const QString&)> arrange;
    } cases[] = {
        {"folder", [](const QString& f) { QDir().mkpath(f); }},
        {"garbage",
         [](const QString& f) {
             QFile file(f);
             QVERIFY(file.open(QIODevice::WriteOnly));
             file.write(QByteArray(4096, 'x'));
         }},
        {"newer",
         [](const QString& f) {
             {
                 QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
                 db.setDatabaseName(f);
                 QVERIFY(db.open());
                 QSqlQuery(db).exec("PRAGMA user_version = 7");
             }
             QSqlDatabase::removeDatabase("newer");
         }},
    };
    for (const auto& c : cases) {
        TempAppDir app;
        QDir().mkpath(app.path() + "/journal");
        c.arrange(app.path() + "/journal/journal.sqlite");
        QString reason;
        QVERIFY2(!journal::Journal::open(app.path(), &reason), c.name);
        QVERIFY2(!reason.isEmpty(), c.name);
    }
}

void TestJournal::resumeQuestionText()
{
    journal::InterruptedRun run;
    run.started = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7));
    run.sent = 1234;
    run.total = 100000;
    QCOMPARE(journal::resumeQuestion(run),
             QStringLiteral("前回の配信が途中で終わっています。\n開始：2026/03/04 05:06　"
                            "送信済み：1234件／全 100000件\n続きから配信しますか？"));
}

// Soft bounces count once per run and only in a row: a run that mailed the address without one
// coming back was delivered, and starts the count afresh; a late report of an older run counts
// for nothing.
void TestJournal::softBouncesCountRunsInARow()
{
    TempAppDir app;
    QString reason;
    auto j = journal::Journal::open(app.path(), &reason);
    QVERIFY2(j, qPrintable(reason));
    const QDateTime now(QDate(2026, 5, 1), QTime(9, 30));
    QList<qint64> runs;
    // Runs 1 to 4 mail a@x.jp; run 5 mails someone else only; run 6 a@x.jp again.
    for (int r = 1; r <= 6; ++r) {
        journal::RunMessage message;
        const QString address = r == 5 ? QStringLiteral("other@x.jp") : QStringLiteral("A@x.jp");
        const auto id = j->beginRun(message, {{1, address}}, now, &reason);
        QVERIFY2(id, qPrintable(reason));
        QVERIFY(j->markSending(*id, 0, now, &reason));
        QVERIFY(j->recordOutcome(*id, 0, MailState::Sent, {}, now, &reason,
                                 QStringLiteral("<m%1@x.jp>").arg(r)));
        runs << *id;
    }
    const struct
    {
        int run; // 1-based
        int count;
    } reports[] = {{1, 1}, {1, 1}, {2, 2}, {4, 1}, {3, 1}, {6, 2}};
    for (const auto& r : reports) {
        const std::optional<int> count = j->countSoftBounce("a@x.jp", QStringLiteral("a@x.jp"),
                                                            runs[r.run - 1], "4.2.2", now, &reason);
        QVERIFY2(count, qPrintable(reason));
        QCOMPARE(*count, r.count);
    }
    // The matches a report finds: by Message-ID, and by address in any case.
    QCOMPARE(j->sentMailById(QStringLiteral("<m3@x.jp>"), &reason)->run, runs[2]);
    QCOMPARE(j->lastMailTo(QStringLiteral("a@X.JP"), &reason)->run, runs[5]);
    QVERIFY(!j->lastMailTo(QStringLiteral("nobody@x.jp"), &reason) && reason.isEmpty());
}

// A journal written before the intake existed gains its columns and tables on the first open,
// and its runs are found by address.
void TestJournal::firstVersionJournalKeepsItsRows()
{
    TempAppDir app;
    const QString path = journal::Journal::pathIn(app.path());
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    testing_support::runSql(
        path, testing_support::kJournalSchema +
                  QStringList{"INSERT INTO runs VALUES(1, '2026-01-01T00:00:00', NULL, 'l', 1, "
                              "'m', 's', 'n', 'b', 100, 'finished', 1)",
                              "INSERT INTO mails VALUES(1, 0, 1, 'old@x.jp', 'sent', NULL, NULL)"});
    QString reason;
    auto j = journal::Journal::open(app.path(), &reason);
    QVERIFY2(j, qPrintable(reason));
    const std::optional<journal::Journal::SentMail> old =
        j->lastMailTo(QStringLiteral("old@x.jp"), &reason);
    QVERIFY2(old && old->run == 1, qPrintable(reason));
    j.reset();
    QCOMPARE(fileRows(path, "PRAGMA user_version"), QStringList{"2"});
}

QTEST_GUILESS_MAIN(TestJournal)
#include "test_journal.moc"
