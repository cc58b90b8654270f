// The progress of a run in the main window's caption and on the launcher entry: shown from
// the start, brought up to date by every mail, and the caption exactly the window's own again
// once no run is active.
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include "gui/platform/launcher_progress.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using Harness = testing_support::MainWindowFixture;
using platform::MsgAnswer;
using testing_support::kRunTimeout;

namespace {

const QString kCaption = QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　a1.00");

struct LauncherCalls
{
    QList<double> shown;
    int hidden = 0;
};

class RecordingLauncher final : public platform::LauncherProgress
{
public:
    explicit RecordingLauncher(LauncherCalls* calls) : m_calls(calls) {}
    void show(QWidget*, double fraction) override { m_calls->shown << fraction; }
    void hide(QWidget*) override { ++m_calls->hidden; }

private:
    LauncherCalls* m_calls;
};

// Installs the recording launcher for the lifetime of the object.
struct ScopedLauncher
{
    LauncherCalls calls;
    ScopedLauncher() { platform::setLauncherProgress(std::make_unique<RecordingLauncher>(&calls)); }
    ~ScopedLauncher() { platform::setLauncherProgress(nullptr); }
};

} // namespace

class TestRunTitle : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void captionFollowsARun_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::newRow("bare addresses") << QByteArray("a@example.jp\r\nb@example.jp\r\n\r\n"
                                                      "c@example.jp\r\n");
        // The header row and the second line of a quoted field are no recipients.
        QTest::newRow("columns") << QByteArray("address,name\r\na@example.jp,\"A\r\nB\"\r\n"
                                               "b@example.jp,B\r\nc@example.jp,C\r\n");
    }

    void captionFollowsARun()
    {
        QFETCH(QByteArray, list);
        ScopedLauncher launcher;
        Harness h;
        QCOMPARE(h.form->windowTitle(), kCaption);
        // Every caption the window gets; each mail takes two minutes of the clock.
        QStringList captions;
        connect(h.form.get(), &QWidget::windowTitleChanged, this, [&](const QString& title) {
            captions << title;
            h.clock->advanceSeconds(120);
        });
        h.fillMessage();
        h.useList(list);
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);

        QCOMPARE(captions, QStringList({
                               kCaption + "　0/3　残り1分未満",
                               kCaption + "　1/3　残り1分未満",
                               kCaption + "　2/3　残り約2分",
                               kCaption + "　3/3",
                               kCaption,
                           }));
        QCOMPARE(launcher.calls.shown, QList<double>({0.0, 1.0 / 3, 2.0 / 3, 1.0}));
        QCOMPARE(launcher.calls.hidden, 1);
    }

    void cancelledRunGivesTheCaptionBack()
    {
        ScopedLauncher launcher;
        Harness h;
        // Paused before the start, the run stops after its first mail.
        h.form->cmdSendPouse->click();
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\nd@example.jp\r\n");
        h.form->SendCommand->click();
        QTRY_COMPARE_WITH_TIMEOUT(h.form->run.SendCount, 1, kRunTimeout);
        QVERIFY(!h.form->Timer1->isEnabled());
        QCOMPARE(h.form->windowTitle(), kCaption + "　1/4　残り1分未満");

        h.fakes.boxes().answers = {MsgAnswer::Yes};
        h.form->CancelCommand->click();
        QVERIFY(h.ended());
        QCOMPARE(h.form->windowTitle(), kCaption);
        QCOMPARE(launcher.calls.hidden, 1);
    }

    // Rtry with another interval: the time left counts with it from the press on, and with
    // every mail after it.
    void timeLeftFollowsTheIntervalOfRtry()
    {
        ScopedLauncher launcher;
        Harness h; // SENDSPAN 10 ms; the fake clock stands still, so gaps add nothing
        h.form->cmdSendPouse->click();
        h.fillMessage();
        QByteArray list;
        for (int i = 1; i <= 200; ++i)
            list += QByteArray("m") + QByteArray::number(i) + "@example.jp\r\n";
        h.useList(list);
        h.form->SendCommand->click();
        QTRY_COMPARE_WITH_TIMEOUT(h.form->run.SendCount, 1, kRunTimeout);
        // 199 mails at 10 ms.
        QCOMPARE(h.form->windowTitle(), kCaption + "　1/200　残り1分未満");

        h.form->txtTimerTime->setText("1200");
        h.form->cmdSendRtry->click();
        // 199 mails at 1.2 s: 3 min 58.8 s.
        QCOMPARE(h.form->windowTitle(), kCaption + "　1/200　残り約4分");
        QTRY_COMPARE_WITH_TIMEOUT(h.form->run.SendCount, 2, kRunTimeout);
        // 198 mails at 1.2 s: 3 min 57.6 s.
        QCOMPARE(h.form->windowTitle(), kCaption + "　2/200　残り約4分");

        h.fakes.boxes().answers = {MsgAnswer::Yes};
        h.form->CancelCommand->click();
        QVERIFY(h.ended());
        QCOMPARE(h.form->windowTitle(), kCaption);
    }

    void refusedStartLeavesTheCaption()
    {
        ScopedLauncher launcher;
        Harness h;
        h.fillMessage();
        h.useList("\r\n \r\n"); // no address: the start is refused
        h.form->SendCommand->click();
        QCOMPARE(h.form->windowTitle(), kCaption);
        QVERIFY(launcher.calls.shown.isEmpty());
        QCOMPARE(launcher.calls.hidden, 0);
    }
};

QTEST_MAIN(TestRunTitle)
#include "test_run_title.moc"
