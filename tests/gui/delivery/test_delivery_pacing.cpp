// The pace per destination domain in a run of the main window, through the recording
// transport and the fixture's clock: the order the addresses go in, the gap between two mails
// to a paced domain, the caption while only waiting addresses are left, the journal meanwhile,
// and a domain the server asks to slow down. Timed by a real server: test_delivery_bulk_servers.
#include "bulk_test_tools.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

using testing_support::failedSend;
using transport::SendOutcome;

namespace {

// The table names addresses by local part: d1, d2, d3 are docomo's, the others example.jp's.
QString full(const QString& who)
{
    return who + (who.startsWith('d') ? "@docomo.ne.jp" : "@example.jp");
}

// "state state state" of docomo's journal rows, read with plain SQL beside the run's own
// connection: what a resume would find if the program ended now.
QString docomoStates(const QString& appDir)
{
    QStringList out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "pacing_judge");
        db.setDatabaseName(appDir + "/journal/journal.sqlite");
        QSqlQuery query(db);
        if (db.open() && query.exec("SELECT state FROM mails WHERE address LIKE "
                                    "'%@docomo.ne.jp' ORDER BY seq"))
            while (query.next())
                out << query.value(0).toString();
    }
    QSqlDatabase::removeDatabase("pacing_judge");
    return out.join(' ');
}

} // namespace

class TestDeliveryPacing : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void addressesGoWhenTheirDomainIsDue_data()
    {
        QTest::addColumn<QByteArray>("pacing");               // PACING's value, or no key
        QTest::addColumn<std::optional<SendOutcome>>("toD1"); // the first mail to d1 only
        QTest::addColumn<QList<int>>("advances");             // seconds, one per wait shown
        QTest::addColumn<QString>("sent");      // the send log: who, seconds after the start
        QTest::addColumn<QStringList>("waits"); // the caption's end while waiting
        QTest::addColumn<QString>("journal");   // docomo's rows at the first wait
        QTest::addColumn<bool>("paused");       // the error log has the pause of docomo

        SendOutcome busy = failedSend("421 4.7.0 Try again later");
        busy.replyCode = 421;
        const SendOutcome reset =
            failedSend("接続がリセットされました", transport::FailureClass::Connection);
        const QString inList = "d1+0 a+0 d2+0 b+0 d3+0 c+0";
        const QString paced = "d1+0 a+0 b+0 c+0 d2+60 d3+120";
        // Paused for 15 minutes: the throttled mail goes first, the others a minute apart.
        const QString pausedAfter = "a+0 b+0 c+0 d1+900 d2+960 d3+1020";
        const QStringList pausedWaits = {"3/6　待機中 docomo.ne.jp 02:11まで",
                                         "4/6　待機中 docomo.ne.jp 02:12まで",
                                         "5/6　待機中 docomo.ne.jp 02:13まで"};
        QTest::newRow("no rows") << QByteArray() << std::optional<SendOutcome>() << QList<int>()
                                 << inList << QStringList() << QString() << false;
        QTest::newRow("a minute for docomo")
            << QByteArray("docomo.ne.jp,60,0") << std::optional<SendOutcome>() << QList<int>{60, 60}
            << paced
            << QStringList{"4/6　待機中 docomo.ne.jp 01:57まで",
                           "5/6　待機中 docomo.ne.jp 01:58まで"}
            << "sent pending pending" << false;
        // The throttled mail is deferred: a resume sends it, and the waiting ones as well.
        QTest::newRow("421") << QByteArray("docomo.ne.jp,60,0") << std::optional(busy)
                             << QList<int>{900, 60, 60} << pausedAfter << pausedWaits
                             << "deferred pending pending" << true;
        QTest::newRow("connection reset")
            << QByteArray("docomo.ne.jp,60,0") << std::optional(reset) << QList<int>{900, 60, 60}
            << pausedAfter << pausedWaits << "deferred pending pending" << true;
        // Without a rule for the domain the reply is an ordinary failure: no wait, no repeat.
        QTest::newRow("421 without a rule for docomo")
            << QByteArray("ezweb.ne.jp,60,0;example.jp,0,0") << std::optional(busy) << QList<int>()
            << "a+0 d2+0 b+0 d3+0 c+0" << QStringList() << QString() << false;
    }

    void addressesGoWhenTheirDomainIsDue()
    {
        QFETCH(QByteArray, pacing);
        QFETCH(std::optional<SendOutcome>, toD1);
        QFETCH(QList<int>, advances);
        QFETCH(QString, sent);
        QFETCH(QStringList, waits);
        QFETCH(QString, journal);
        QFETCH(bool, paused);

        testing_support::MainWindowFixture h([](aMain_sMail::SettingsRecord& s) {
            s.SENDLOG = 1;
            s.ERRLOG = 1;
        });
        h.app.write("ini/bulk.ini",
                    bulk_testing::completeBulkIni() +
                        (pacing.isNull() ? QByteArray() : "PACING=" + pacing + "\r\n"));
        if (toD1) {
            h.transport->setSendOutcome(full("d1"), *toD1);
            h.transport->holdSend(full("d1"), [&] {
                h.transport->setSendOutcome(full("d1"), {true, {}, {}, false});
            });
        }
        // The run's time moves only while it waits, and only by the test's hand.
        const QDateTime start = h.clock->now();
        QStringList titles;
        QString journalWhileWaiting;
        connect(h.form.get(), &QWidget::windowTitleChanged, this, [&](const QString& title) {
            titles << title.section(QChar(u'　'), 2);
            if (!title.contains("待機中"))
                return;
            if (journalWhileWaiting.isEmpty())
                journalWhileWaiting = docomoStates(h.app.path());
            if (!advances.isEmpty())
                h.clock->advanceSeconds(advances.takeFirst());
        });
        h.fillMessage();
        h.useList("d1@docomo.ne.jp\r\na@example.jp\r\nd2@docomo.ne.jp\r\nb@example.jp\r\n"
                  "d3@docomo.ne.jp\r\nc@example.jp\r\n");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), testing_support::kRunTimeout);

        QStringList expectedSent;
        for (const QString& entry : sent.split(' '))
            expectedSent
                << full(entry.section('+', 0, 0)) + "," +
                       start.addSecs(entry.section('+', 1).toInt()).toString("yy/MM/dd HH:mm:ss");
        QCOMPARE(h.logLines("log/send.log"), expectedSent);
        QStringList shownWaits;
        for (qsizetype i = 0; i < titles.size(); ++i) {
            if (!titles[i].contains("待機中"))
                continue;
            shownWaits << titles[i];
            // The next caption, once a mail went, no longer waits.
            QVERIFY(!titles.value(i + 1, "待機中").contains("待機中"));
        }
        QCOMPARE(shownWaits, waits);
        QVERIFY(advances.isEmpty());
        QCOMPARE(journalWhileWaiting, journal);

        QStringList errors;
        if (toD1)
            errors << toD1->errorText + "," + full("d1") + "," + testing_support::kStamp;
        if (paused)
            errors << "宛先ドメイン docomo.ne.jp の受け付けが制限されたため、02:11まで送信を"
                      "控えます,," +
                          testing_support::kStamp;
        QCOMPARE(h.logLines("log/error.log"), errors);
        // A throttled mail was an attempt that failed, as its journal row says.
        QCOMPARE(h.form->run.ErrCount, toD1 ? 1 : 0);
    }
};

QTEST_MAIN(TestDeliveryPacing)
#include "test_delivery_pacing.moc"
