// The window while a mail is on its way: it keeps taking events, a pause takes effect after the
// mail, a close or a cancel waits for the mail and writes its line first, and a periodic login
// follows the mail instead of cutting into it. The recording transport holds the mail open
// until the test has looked.
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using Harness = testing_support::MainWindowFixture;
using platform::MsgAnswer;
using testing_support::failedSend;
using testing_support::kCancelQuestion;
using testing_support::kOperator;
using testing_support::kRunTimeout;
using testing_support::kStamp;

namespace {

const QString kClosing = QStringLiteral("送信終了待ち");
const QByteArray kThree = "a@example.jp\r\nb@example.jp\r\nc@example.jp";

std::function<void(aMain_sMail::SettingsRecord&)> withLogs(qint16 pop3Time = 0)
{
    return [pop3Time](aMain_sMail::SettingsRecord& s) {
        s.SENDLOG = 1;
        s.ERRLOG = 1;
        s.POP3TIME = pop3Time;
    };
}

} // namespace

class TestDeliveryDuringSend : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void windowTakesEventsAndPauseWaitsForTheMail()
    {
        Harness h(withLogs());
        bool looked = false;
        int timerTicks = 0;
        h.transport->holdSend("b@example.jp", [&] {
            looked = true;
            // The window's own timers run: a tick of 10 ms comes several times.
            QTimer probe;
            QObject::connect(&probe, &QTimer::timeout, [&] { ++timerTicks; });
            probe.start(10);
            QTest::qWait(100);
            // Mail a is done and written; b is on its way, and no other mail starts meanwhile
            // although the 10 ms interval has passed many times over.
            QCOMPARE(h.form->lblSndRec->text(), QString("1"));
            QCOMPARE(h.logLines("log/send.log"), QStringList({"a@example.jp," + kStamp}));
            QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "b@example.jp"}));
            QCOMPARE(h.form->run.CurAddress, QString("b@example.jp"));
            // Pouse is taken at once; the mail on its way is finished all the same.
            h.form->cmdSendPouse->click();
            QCOMPARE(h.form->run.PauseFlag, qint16(1));
            QVERIFY(h.form->txtTimerTime->isEnabled());
            QCOMPARE(h.form->focusWidget(), static_cast<QWidget*>(h.form->txtTimerTime));
        });
        h.fillMessage();
        h.useList(kThree);
        h.form->SendCommand->click();

        QTRY_COMPARE_WITH_TIMEOUT(h.form->lblSndRec->text(), QString("2"), kRunTimeout);
        QVERIFY(looked);
        QVERIFY(!h.transport->holdTimedOut());
        QVERIFY(timerTicks >= 3);
        QCOMPARE(h.logLines("log/send.log"),
                 QStringList({"a@example.jp," + kStamp, "b@example.jp," + kStamp}));
        // Paused after b: c waits for Rtry.
        QTest::qWait(100);
        QCOMPARE(h.transport->sends().size(), 3);
        QVERIFY(!h.form->Timer1->isEnabled());
        h.form->txtTimerTime->setText("100");
        h.form->cmdSendRtry->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "b@example.jp",
                                              "c@example.jp", kOperator}));
    }

    void closingDuringAMailWaitsForItsLine_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("中止, Yes") << "cancel";
        QTest::newRow("close box, Yes") << "close box";
        QTest::newRow("menu 終了, Yes") << "menu";
    }

    void closingDuringAMailWaitsForItsLine()
    {
        QFETCH(QString, how);
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.ERRLOG = 1;
            s.ERRLOGMSG = 1;
        });
        h.transport->setSendOutcome("b@example.jp", failedSend("550 5.1.1 unknown"));
        bool looked = false;
        h.transport->holdSend("b@example.jp", [&] {
            looked = true;
            if (how == "cancel")
                h.form->CancelCommand->click();
            else if (how == "close box")
                h.form->close();
            else
                h.form->nmFile_End->trigger();
            // Asked once, answered Yes: the program does not end yet, and says what it waits
            // for. The mail's line is not written yet either.
            QCOMPARE(h.boxTexts(), QStringList({kCancelQuestion}));
            QVERIFY(!h.ended());
            QVERIFY(h.form->isVisible());
            QCOMPARE(h.form->Label3->text(), kClosing);
            QVERIFY(h.logLines("log/error.log").isEmpty());
            // Nothing new starts meanwhile: no second question, no tick.
            h.form->CancelCommand->click();
            h.form->close();
            QTest::qWait(60);
            QCOMPARE(h.boxTexts(), QStringList({kCancelQuestion}));
            QVERIFY(!h.ended());
        });
        h.fillMessage();
        h.useList(kThree);
        h.form->SendCommand->click();

        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QVERIFY(looked);
        QCOMPARE(h.fakes.processEnd().calls, 1);
        QVERIFY(!h.form->isVisible());
        // The mail that was on its way is counted and logged; no notice for it, no further
        // mail, no end notice.
        QCOMPARE(h.form->lblSndRec->text(), QString("2"));
        QCOMPARE(h.form->lblErrCnt->text(), QString("1"));
        QCOMPARE(h.logLines("log/error.log"),
                 QStringList({"550 5.1.1 unknown,b@example.jp," + kStamp}));
        QCOMPARE(h.boxTexts(), QStringList({kCancelQuestion}));
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "b@example.jp"}));
    }

    void cancelAnsweredNoDuringAMailGoesOn()
    {
        Harness h(withLogs());
        h.transport->holdSend("b@example.jp", [&] {
            h.fakes.boxes().answers = {MsgAnswer::No};
            h.form->CancelCommand->click();
            QCOMPARE(h.boxTexts(), QStringList({kCancelQuestion}));
            QVERIFY(h.form->Label3->text().isEmpty());
            // No enables Timer1 again, but the mail on its way keeps the next one waiting.
            QTest::qWait(60);
            QCOMPARE(h.transport->sends().size(), 3);
        });
        h.fillMessage();
        h.useList(kThree);
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.logLines("log/send.log").size(), 3);
        QCOMPARE(h.boxTexts(), QStringList({kCancelQuestion, "送信が完了しました。"}));
    }

    void cancelDuringTheStartNoticeWaitsForIt()
    {
        // Before the first tick a cancel closes without asking, but not under a mail.
        Harness h;
        h.transport->setOtherSendsOutcome(failedSend("421 4.3.2 busy"));
        h.transport->holdSend(kOperator, [&] {
            h.form->CancelCommand->click();
            QVERIFY(h.fakes.boxes().shown.empty());
            QVERIFY(!h.ended());
            QCOMPARE(h.form->Label3->text(), kClosing);
        });
        h.fillMessage();
        h.useList(kThree);
        h.form->SendCommand->click();
        QVERIFY(h.ended());
        // The notice's failure box is not shown to an operator who has closed the program, and
        // the run never starts.
        QVERIFY(h.fakes.boxes().shown.empty());
        QTest::qWait(50);
        QCOMPARE(h.recipients(), QStringList({kOperator}));
    }

    void closingWithAnUnwritableLineReportsItFirst()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) { s.SENDLOG = 1; });
        const QString badPath = h.app.file("nofolder/send.log");
        aMain_sMail::Settings.SENDLOGPAS = badPath;
        int endsAtReport = -1;
        h.fakes.boxes().onShow = [&](const platform::MessageBoxRequest& r) {
            if (r.text.startsWith("ログファイルに書き込めませんでした。"))
                endsAtReport = h.fakes.processEnd().calls;
        };
        h.transport->holdSend("a@example.jp", [&] { h.form->CancelCommand->click(); });
        h.fillMessage();
        h.useList(kThree);
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.boxTexts().size(), 2);
        QCOMPARE(h.boxTexts().at(0), kCancelQuestion);
        QVERIFY2(h.boxTexts().at(1).contains("a@example.jp," + kStamp),
                 qPrintable(h.boxTexts().at(1)));
        QCOMPARE(endsAtReport, 0);
    }

    void periodicLoginFollowsTheMail()
    {
        Harness h(withLogs(1));
        QStringList logDuringHold;
        h.transport->holdSend("b@example.jp", [&] {
            // Timer2 comes due while b is on its way: its login waits for b.
            h.form->run.PopTickCount = 59;
            h.form->Timer2_Timer();
            QTest::qWait(30);
            logDuringHold = h.transport->log();
            QVERIFY(h.form->Label3->text().isEmpty());
        });
        h.fillMessage();
        h.useList(kThree);
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(logDuringHold, QStringList({"login user", "send " + kOperator, "send a@example.jp",
                                             "send b@example.jp"}));
        QCOMPARE(h.transport->log(),
                 QStringList({"login user", "send " + kOperator, "send a@example.jp",
                              "send b@example.jp", "login user", "send c@example.jp", "login user",
                              "send " + kOperator}));
        // b's line was on disk before the login went out, and the count started again.
        QCOMPARE(h.logLines("log/send.log").size(), 3);
        QVERIFY(h.form->run.PopTickCount < 59);
    }

    void resumeDuringATickLogsInAfterItsMail()
    {
        Harness h(withLogs(1));
        h.transport->holdSend("b@example.jp", [&] {
            h.form->cmdSendPouse->click();
            // Rtry's login waits behind b on the transport's thread, so it is pressed once the
            // hold is let go, while the tick still waits for b.
            QTimer::singleShot(0, h.form.get(), [&] {
                h.form->txtTimerTime->setText("100");
                h.form->cmdSendRtry->click();
                QCOMPARE(h.form->run.PauseFlag, qint16(0));
                QCOMPARE(h.form->Timer1->interval(), qint64(100));
            });
        });
        h.fillMessage();
        h.useList(kThree);
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QVERIFY(!h.transport->holdTimedOut());
        // The login of Rtry runs on the transport's thread after the mail it came during.
        QCOMPARE(h.transport->log().mid(3, 3),
                 QStringList({"send b@example.jp", "login user", "send c@example.jp"}));
        QVERIFY(!h.transport->anyOnApplicationThread());
    }
};

QTEST_MAIN(TestDeliveryDuringSend)
#include "test_delivery_during_send.moc"
