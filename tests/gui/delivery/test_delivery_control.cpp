// Pause, resume and cancel during a run, ticks that never overlap, and a log line that cannot
// be written (a missing folder, the file-size limit).
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include "core/platform/file_size_signal.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#endif

using Harness = testing_support::MainWindowFixture;
using platform::MsgAnswer;
using platform::MsgIcon;
using testing_support::failedSend;
using testing_support::kCancelQuestion;
using testing_support::kOperator;
using testing_support::kRunTimeout;
using testing_support::kStamp;

namespace {

const QString kIntervalCaption = QStringLiteral("KEZ-MAILER 配信間隔");
const QString kAskInterval = QStringLiteral("タイマーインターバルを入力して下さい");
const QString kTooSmall = QStringLiteral("値が少なすぎます。もっと大きな値を入力して下さい");

int openHandlesOn(const QString& path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    for (const QFileInfo& fd :
         QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::Files | QDir::System))
        if (fd.symLinkTarget() == target)
            ++count;
    return count;
}

// Pouse before the run: the run sends its first mail and then stays paused.
void startPausedRun(Harness& h, const QByteArray& list)
{
    h.form->cmdSendPouse->click();
    h.form->txtTimerTime->setText("100");
    h.form->cmdSendRtry->click();
    h.fillMessage();
    h.useList(list);
    h.form->SendCommand->click();
}

} // namespace

class TestDeliveryControl : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void pouseWhileIdleThenRun()
    {
        Harness h;
        h.form->cmdSendPouse->click();
        QCOMPARE(h.form->run.PauseFlag, qint16(1));
        QVERIFY(h.form->txtTimerTime->isEnabled());
        QCOMPARE(h.form->focusWidget(), static_cast<QWidget*>(h.form->txtTimerTime));
        h.form->txtTimerTime->setText("100");
        h.form->cmdSendRtry->click();
        // Idle: the resume only disables the field again.
        QVERIFY(!h.form->txtTimerTime->isEnabled());
        QCOMPARE(h.form->run.PauseFlag, qint16(1));
        QVERIFY(h.fakes.boxes().shown.empty());

        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp\r\nc@example.jp");
        h.form->SendCommand->click();
        QTRY_COMPARE_WITH_TIMEOUT(h.transport->sends().size(), 2, kRunTimeout);
        QTest::qWait(150);
        QCOMPARE(h.transport->sends().size(), 2);
        QCOMPARE(h.form->run.SendFlag, qint16(1));
        QVERIFY(!h.form->Timer1->isEnabled());

        h.form->cmdSendPouse->click();
        h.form->txtTimerTime->setText("150.5");
        h.form->cmdSendRtry->click();
        QCOMPARE(h.form->run.PauseFlag, qint16(0));
        QCOMPARE(h.form->Timer1->interval(), qint64(150));
        QVERIFY(h.form->Timer1->isEnabled());
        QVERIFY(!h.form->txtTimerTime->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "b@example.jp",
                                              "c@example.jp", kOperator}));
    }

    void cancelAnsweredNoWhilePaused()
    {
        Harness h;
        const QString list = h.app.file("csv/list.csv");
        startPausedRun(h, "a@example.jp\r\nb@example.jp\r\nc@example.jp\r\nd@example.jp");
        QTRY_COMPARE_WITH_TIMEOUT(h.transport->sends().size(), 2, kRunTimeout);

        h.fakes.boxes().answers = {MsgAnswer::No};
        h.form->CancelCommand->click();
        QCOMPARE(h.boxTexts(), QStringList({kCancelQuestion}));
        QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER"}));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Question);
        QCOMPARE(h.fakes.boxes().shown.front().buttons, platform::MsgButtons::YesNo);
        QVERIFY(!h.ended());

        // Exactly one more mail, then the run is paused again.
        QTRY_COMPARE_WITH_TIMEOUT(h.transport->sends().size(), 3, kRunTimeout);
        QTest::qWait(150);
        QCOMPARE(h.transport->sends().size(), 3);
        QVERIFY(!h.form->Timer1->isEnabled());

        // Yes ends at once: no end notice, no completion message, the list closed.
        h.fakes.boxes().answers = {MsgAnswer::Yes};
        h.form->CancelCommand->click();
        QVERIFY(h.ended());
        QCOMPARE(h.boxTexts(), QStringList({kCancelQuestion, kCancelQuestion}));
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "b@example.jp"}));
        QCOMPARE(openHandlesOn(list), 0);
    }

    void cancelBeforeFirstTickClosesWithoutAsking()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) { s.SENDSPAN = 60000; });
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp");
        h.form->SendCommand->click();
        QCOMPARE(h.recipients(), QStringList({kOperator}));
        h.form->CancelCommand->click();
        QVERIFY(h.ended());
        QVERIFY(h.fakes.boxes().shown.empty());
        QCOMPARE(h.transport->sends().size(), 1);
    }

    void cancelInsideATickEndsTheRun()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) { s.ERRLOGMSG = 1; });
        h.transport->setSendOutcome("bad@example.jp", failedSend("550 5.1.1 unknown"));
        // The cancel action runs during a yield of the tick and is answered Yes (empty queue).
        h.fakes.boxes().onShow = [&](const platform::MessageBoxRequest& r) {
            if (r.caption == QString("KEZ-MAILER 配信エラー"))
                h.form->CancelCommand->click();
        };
        h.fillMessage();
        const QString list = h.useList("bad@example.jp\r\nok@example.jp\r\nok2@example.jp");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QTest::qWait(100);
        QCOMPARE(h.recipients(), QStringList({kOperator, "bad@example.jp"}));
        QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER 配信エラー", "KEZ-MAILER"}));
        QCOMPARE(h.boxTexts().at(1), kCancelQuestion);
        QCOMPARE(h.fakes.processEnd().calls, 1);
        QCOMPARE(openHandlesOn(list), 0);
    }

    void resumeIntervals()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) { s.POP3TIME = 5; });
        WriteForm& f = *h.form;
        f.cmdSendPouse->click();
        struct Case
        {
            QString text;
            QString message;
        };
        for (const Case& c :
             {Case{"", kAskInterval}, Case{"  ", kAskInterval}, Case{"abc120", kAskInterval},
              Case{"99", kTooSmall}, Case{"99.6", kTooSmall}, Case{"-500", kTooSmall}}) {
            h.fakes.boxes().shown.clear();
            f.txtTimerTime->setText(c.text);
            f.cmdSendRtry->click();
            QCOMPARE(h.boxTexts(), QStringList({c.message}));
            QCOMPARE(h.boxCaptions(), QStringList({kIntervalCaption}));
            QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Exclamation);
            QVERIFY(f.txtTimerTime->isEnabled());
            QCOMPARE(f.focusWidget(), static_cast<QWidget*>(f.txtTimerTime));
        }
        QCOMPARE(f.run.PauseFlag, qint16(1));

        // A paused run: every valid resume sets the interval, logs in once at once, and runs.
        h.fakes.boxes().shown.clear();
        startPausedRun(h, "a@example.jp\r\nb@example.jp\r\nc@example.jp\r\nd@example.jp\r\n"
                          "e@example.jp");
        QTRY_COMPARE_WITH_TIMEOUT(h.transport->sends().size(), 2, kRunTimeout);
        struct Resume
        {
            QString text;
            qint64 interval;
        };
        for (const Resume& r : {Resume{"151.5", 152}, Resume{"120abc", 120},
                                Resume{"100000", 100000}, Resume{" 3000000000 ", 3000000000}}) {
            f.cmdSendPouse->click();
            QVERIFY(!f.Timer2->isEnabled());
            const qsizetype logins = h.transport->logins().size();
            f.txtTimerTime->setText(r.text);
            f.cmdSendRtry->click();
            QCOMPARE(f.Timer1->interval(), r.interval);
            QVERIFY(f.Timer1->isEnabled());
            QVERIFY(f.Timer2->isEnabled());
            QCOMPARE(f.run.PauseFlag, qint16(0));
            QVERIFY(!f.txtTimerTime->isEnabled());
            QCOMPARE(h.transport->logins().size(), logins + 1);
            QVERIFY(f.Label3->text().isEmpty());
        }
        QVERIFY(h.fakes.boxes().shown.empty());
        // The long intervals really wait: nothing more has gone out.
        QTest::qWait(200);
        QCOMPARE(h.transport->sends().size(), 2);
    }

    void ticksNeverOverlap()
    {
        // A slow server, an error notice after every mail that keeps the event loop running,
        // and a POP login from Timer2 inside the notice that enables Timer1 again.
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.POP3TIME = 1;
            s.ERRLOGMSG = 1;
            s.SENDSPAN = 5;
        });
        h.transport->setSendDelayMs(15);
        for (const char* a : {"a@example.jp", "b@example.jp", "c@example.jp", "d@example.jp"})
            h.transport->setSendOutcome(a, failedSend("550 5.1.1 unknown"));

        int depth = 0;
        int maxDepth = 0;
        int mailsDuringNotices = 0;
        int loginsDuringNotices = 0;
        QStringList noticed;
        h.fakes.boxes().onShow = [&](const platform::MessageBoxRequest& r) {
            if (r.caption != QString("KEZ-MAILER 配信エラー"))
                return;
            maxDepth = std::max(maxDepth, ++depth);
            noticed << r.text.section('\r', 0, 0);
            const qsizetype mails = h.transport->sends().size();
            const qsizetype logins = h.transport->logins().size();
            h.form->run.PopTickCount = 55;
            h.form->Timer2->setInterval(2);
            QTest::qWait(80); // the modal loop of a real box
            mailsDuringNotices += int(h.transport->sends().size() - mails);
            loginsDuringNotices += int(h.transport->logins().size() - logins);
            --depth;
        };
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\nd@example.jp");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(maxDepth, 1);
        QCOMPARE(mailsDuringNotices, 0);
        QVERIFY(loginsDuringNotices >= 1); // the scenario really happened
        QCOMPARE(noticed,
                 QStringList({"a@example.jp", "b@example.jp", "c@example.jp", "d@example.jp"}));
        QCOMPARE(h.form->lblSndRec->text(), QString("4"));
    }

    void pousePressedDuringRtrysLogin()
    {
        // Rtry's own login lets the window take events: a Pouse pressed then stands, as it
        // does for Timer2's login. No mail goes out and the interval field stays open.
        Harness h([](aMain_sMail::SettingsRecord& s) { s.POP3TIME = 1; });
        startPausedRun(h, "a@example.jp\r\nb@example.jp\r\nc@example.jp");
        QTRY_COMPARE_WITH_TIMEOUT(h.transport->sends().size(), 2, kRunTimeout);
        h.transport->setLoginDelayMs(300);
        const qsizetype logins = h.transport->logins().size();
        QString labelAtPouse;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (h.transport->logins().size() == logins)
                return;
            poll.stop();
            labelAtPouse = h.form->Label3->text();
            h.form->cmdSendPouse->click();
        });
        poll.start(5);
        h.form->txtTimerTime->setText("100");
        h.form->cmdSendRtry->click();
        QCOMPARE(labelAtPouse, QString("ＰＯＰ３承認中"));
        QCOMPARE(h.form->run.PauseFlag, qint16(1));
        QVERIFY(!h.form->Timer1->isEnabled());
        QVERIFY(!h.form->Timer2->isEnabled());
        QVERIFY(h.form->txtTimerTime->isEnabled());
        QTest::qWait(250);
        QCOMPARE(h.transport->sends().size(), 2);

        // The next Rtry, with no pause during it, goes on.
        h.transport->setLoginDelayMs(0);
        h.form->cmdSendRtry->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "b@example.jp",
                                              "c@example.jp", kOperator}));
    }

    void fileSizeLimitPausesTheRun()
    {
        // A send log that reaches the file-size limit (ulimit -f): with SIGXFSZ ignored, as
        // the program does at start-up, the write fails instead of the process being killed,
        // and the run pauses with the system's reason. The log keeps whole lines only.
#ifdef Q_OS_UNIX
        // Left at its default, the signal would end this test's process at the first write.
        std::signal(SIGXFSZ, SIG_DFL);
        platform::ignoreFileSizeSignal();
        Harness h([](aMain_sMail::SettingsRecord& s) { s.SENDLOG = 1; });
        // Long enough that the limit leaves room for the journal, which is written first.
        const QByteArray earlier = QByteArray("earlier,26/01/01 00:00:00\r\n").repeated(40000);
        const QString log = h.app.write("log/send.log", earlier);
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp\r\nc@example.jp");
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit capped = saved;
        capped.rlim_cur = rlim_t(earlier.size() + 10);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &capped), 0);
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(!h.fakes.boxes().shown.empty(), kRunTimeout);
        setrlimit(RLIMIT_FSIZE, &saved);

        QCOMPARE(h.app.read("log/send.log"), earlier);
        const QString box = h.boxTexts().front();
        QVERIFY2(box.startsWith("ログファイルに書き込めませんでした。配信を一時停止します。\n"
                                "ファイル: " +
                                log + "\n理由: " + QString::fromLocal8Bit(std::strerror(EFBIG))),
                 qPrintable(box));
        QCOMPARE(h.form->run.PauseFlag, qint16(1));

        h.form->txtTimerTime->setText("100");
        h.form->cmdSendRtry->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.app.read("log/send.log"),
                 earlier +
                     ("b@example.jp," + kStamp + "\r\nc@example.jp," + kStamp + "\r\n").toLatin1());
#else
        QSKIP("no file-size limit signal on this system");
#endif
    }

    void logLineThatCannotBeWrittenPauses()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) { s.SENDLOG = 1; });
        const QString badPath = h.app.file("nofolder/send.log");
        aMain_sMail::Settings.SENDLOGPAS = badPath;
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp\r\nc@example.jp");
        h.form->SendCommand->click();
        QTRY_COMPARE_WITH_TIMEOUT(h.fakes.boxes().shown.size(), size_t(1), kRunTimeout);
        const platform::MessageBoxRequest box = h.fakes.boxes().shown.front();
        QCOMPARE(box.icon, MsgIcon::Critical);
        QVERIFY2(box.text.contains(badPath), qPrintable(box.text));
        QVERIFY2(box.text.contains("a@example.jp," + kStamp), qPrintable(box.text));
        QCOMPARE(h.form->run.PauseFlag, qint16(1));
        QVERIFY(h.form->txtTimerTime->isEnabled());
        QTest::qWait(150);
        QCOMPARE(h.transport->sends().size(), 2);

        // Mend the path and go on.
        aMain_sMail::Settings.SENDLOGPAS = h.app.file("log/send.log");
        h.form->txtTimerTime->setText("100");
        h.form->cmdSendRtry->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.logLines("log/send.log"),
                 QStringList({"b@example.jp," + kStamp, "c@example.jp," + kStamp}));
        QCOMPARE(h.transport->sends().size(), 5);
    }
};

QTEST_MAIN(TestDeliveryControl)
#include "test_delivery_control.moc"
