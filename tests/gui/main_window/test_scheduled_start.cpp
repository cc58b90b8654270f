#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include "core/settings/a_main_smail.h"
#include "gui/main_window/write_form.h"
#include "gui/schedule_dialog/frm_timer_set.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

using testing_support::MainWindowFixture;
using testing_support::NextDialog;
using testing_support::ScopedGuiFakes;

namespace {

const QString kSettingsMessage = QStringLiteral("設定ファイルが正しく設定されていません。");
const QString kBusyMessage = QStringLiteral("配信中はタイマー配信を設定できません。");

QDateTime at(int h, int mi, int s)
{
    return QDateTime(QDate(2026, 3, 7), QTime(h, mi, s));
}

std::function<void(frmTimerSet&)> confirm(const QStringList& fields)
{
    return [fields](frmTimerSet& dialog) {
        QLineEdit* edits[] = {dialog.txtYyyy, dialog.txtMm, dialog.txtDd, dialog.txtHh,
                              dialog.txtNn};
        for (int i = 0; i < 5; ++i)
            edits[i]->setText(fields.value(i));
        dialog.cmdSettei->click();
    };
}

void cancel(frmTimerSet& dialog)
{
    dialog.cmdCancel->click();
}

const QStringList k1030 = {"2026", "03", "07", "10", "30"};

// Opens the schedule dialog from the menu with `action` scripted; how many dialogs opened.
int openSchedule(WriteForm& form, std::function<void(frmTimerSet&)> action)
{
    NextDialog<frmTimerSet> script(std::move(action));
    form.mnOption_Timer->trigger();
    return script.opened();
}

QList<QWidget*> lockedControls(WriteForm& form)
{
    return form.runLockedControls();
}

// A loaded main window with complete settings (SMTP smtp.example.jp) and a message to send.
MainWindowFixture* scheduleWindow(std::unique_ptr<MainWindowFixture>& slot, const QDateTime& now,
                                  qint32 sendSpan = 10)
{
    testing_support::WindowOptions options;
    options.tweak = [sendSpan](aMain_sMail::SettingsRecord& s) { s.SENDSPAN = sendSpan; };
    options.now = now;
    slot = std::make_unique<MainWindowFixture>(options);
    slot->fillMessage();
    slot->useList("a@example.invalid\r\nb@example.invalid\r\n");
    return slot.get();
}

bool allEnabled(const QList<QWidget*>& widgets, bool enabled)
{
    for (QWidget* w : widgets) {
        if (w->isEnabled() != enabled)
            return false;
    }
    return true;
}

bool showsText(const ScopedGuiFakes& fakes, const QString& text)
{
    for (const auto& box : const_cast<ScopedGuiFakes&>(fakes).boxes().shown) {
        if (box.text == text)
            return true;
    }
    return false;
}

} // namespace

class TestScheduledStart : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void menuChecks();
    void armAndDisarm();
    void firesAtTheFirstTickAtOrAfterTheTime();
    void firesAfterAJumpPastTheTime();
    void timerDrivesTheTick();
    void scheduleChangedDuringTheYieldDoesNotFire();
    void menuRefusedDuringARun();

private:
    std::unique_ptr<MainWindowFixture> m_window;
};

void TestScheduledStart::cleanup()
{
    m_window.reset();
    testing_support::verifyNoWindowsLeft();
}

void TestScheduledStart::menuChecks()
{
    MainWindowFixture& w = *scheduleWindow(m_window, at(10, 0, 0));
    WriteForm& form = *w.form;
    ScopedGuiFakes& fakes = w.fakes;
    form.show();
    NextDialog<frmTimerSet> script(cancel);
    auto& shown = fakes.boxes().shown;

    // The settings check's box is given no caption.
    aMain_sMail::Settings.SMTP.clear();
    form.mnOption_Timer->trigger();
    QCOMPARE(shown.size(), size_t(1));
    QCOMPARE(shown.back().text, kSettingsMessage);
    QCOMPARE(shown.back().caption, std::nullopt);
    QCOMPARE(shown.back().icon, platform::MsgIcon::Exclamation);
    aMain_sMail::Settings.SMTP = QStringLiteral("smtp.example.jp");

    struct Case
    {
        QLineEdit* field;
        QString value;
        QString message;
    };
    const Case cases[] = {
        {form.ToText, QStringLiteral("  "), QStringLiteral("CSVファイルを指定して下さい。")},
        {form.SubjectText, QString(), QStringLiteral("Subjectを指定して下さい。")},
        {form.txtFrom, QString(), QStringLiteral("送信者を指定して下さい。")},
    };
    for (const Case& c : cases) {
        const QString kept = c.field->text();
        c.field->setText(c.value);
        form.cmdCSV->setFocus();
        form.mnOption_Timer->trigger();
        QCOMPARE(shown.back().text, c.message);
        QCOMPARE(shown.back().caption, std::optional<QString>(QStringLiteral("KEZ-MAILER")));
        QCOMPARE(shown.back().icon, platform::MsgIcon::Exclamation);
        QCOMPARE(form.focusWidget(), c.field);
        c.field->setText(kept);
    }
    QCOMPARE(shown.size(), size_t(4));
    QCOMPARE(script.opened(), 0);

    // A subject of one space is a subject.
    form.SubjectText->setText(QStringLiteral(" "));
    form.mnOption_Timer->trigger();
    QCOMPARE(script.opened(), 1);
    QCOMPARE(shown.size(), size_t(4));
}

void TestScheduledStart::armAndDisarm()
{
    MainWindowFixture& w = *scheduleWindow(m_window, at(10, 0, 0));
    WriteForm& form = *w.form;
    ScopedGuiFakes& fakes = w.fakes;
    const QList<QWidget*> locked = lockedControls(form);

    QCOMPARE(openSchedule(form, confirm(k1030)), 1);
    QVERIFY(form.timSend->isEnabled());
    QCOMPARE(form.timSend->interval(), 1000);
    QVERIFY(!form.fraTimerDisp->isHidden());
    QCOMPARE(form.lblSendTime->text(), QStringLiteral("2026年03月07日 10時30分00秒"));
    QVERIFY(allEnabled(locked, false));
    QVERIFY(form.CancelCommand->isEnabled());
    QVERIFY(form.mnOption_Timer->isEnabled());

    // A failing menu check leaves the armed schedule as it was.
    form.txtFrom->setEnabled(true);
    form.txtFrom->clear();
    QCOMPARE(openSchedule(form, cancel), 0);
    QVERIFY(form.timSend->isEnabled());
    QVERIFY(!form.fraTimerDisp->isHidden());
    form.txtFrom->setText(QStringLiteral("sender"));
    form.txtFrom->setEnabled(false);

    // Re-opening shows the armed time; confirming another replaces it.
    QStringList prefilled;
    QCOMPARE(openSchedule(form,
                          [&prefilled](frmTimerSet& dialog) {
                              prefilled = {dialog.txtYyyy->text(), dialog.txtMm->text(),
                                           dialog.txtDd->text(), dialog.txtHh->text(),
                                           dialog.txtNn->text()};
                              confirm({"2026", "03", "07", "11", "15"})(dialog);
                          }),
             1);
    QCOMPARE(prefilled, k1030);
    QCOMPARE(form.lblSendTime->text(), QStringLiteral("2026年03月07日 11時15分00秒"));
    QVERIFY(form.timSend->isEnabled());

    // The close box disarms but keeps the time for the next opening.
    QCOMPARE(openSchedule(form, [](frmTimerSet& dialog) { dialog.close(); }), 1);
    QVERIFY(!form.timSend->isEnabled());
    QVERIFY(form.fraTimerDisp->isHidden());
    QVERIFY(allEnabled(locked, true));
    QCOMPARE(aMain_sMail::ScheduledTime, QStringLiteral("2026年03月07日 11時15分00秒"));

    // Cancel clears it.
    QCOMPARE(openSchedule(form, confirm({"2026", "03", "07", "11", "15"})), 1);
    QVERIFY(form.timSend->isEnabled());
    QCOMPARE(openSchedule(form, cancel), 1);
    QVERIFY(!form.timSend->isEnabled());
    QVERIFY(form.fraTimerDisp->isHidden());
    QVERIFY(allEnabled(locked, true));
    QVERIFY(aMain_sMail::ScheduledTime.isEmpty());
    // The one box was the refused sender name; the dialog itself reported nothing.
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
}

void TestScheduledStart::firesAtTheFirstTickAtOrAfterTheTime()
{
    MainWindowFixture& w = *scheduleWindow(m_window, at(10, 29, 58));
    WriteForm& form = *w.form;
    ScopedGuiFakes& fakes = w.fakes;
    auto& clock = w.clock;
    QCOMPARE(openSchedule(form, confirm(k1030)), 1);
    QVERIFY(form.lblNowTime->text().isEmpty());
    // From here the send handler finds the settings incomplete: its message shows that the
    // tick called it, and no mail is attempted.
    aMain_sMail::Settings.SMTP.clear();

    form.timSend_Timer();
    QCOMPARE(form.lblNowTime->text(), QStringLiteral("2026/03/07 10:29:58"));
    clock->set(at(10, 29, 59));
    form.timSend_Timer();
    QCOMPARE(form.lblNowTime->text(), QStringLiteral("2026/03/07 10:29:59"));
    QVERIFY(form.timSend->isEnabled());
    QVERIFY(!form.fraTimerDisp->isHidden());
    QVERIFY(fakes.boxes().shown.empty());

    clock->set(at(10, 30, 0));
    form.timSend_Timer();
    QVERIFY(!form.timSend->isEnabled());
    QVERIFY(form.fraTimerDisp->isHidden());
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    QCOMPARE(fakes.boxes().shown.front().text, kSettingsMessage);
    QCOMPARE(fakes.boxes().shown.front().caption,
             std::optional<QString>(QStringLiteral("KEZ-MAILER")));
    // The spent schedule keeps its values and the window stays locked.
    QCOMPARE(aMain_sMail::ScheduleConfirmed, qint16(1));
    QCOMPARE(aMain_sMail::ScheduledTime, QStringLiteral("2026年03月07日 10時30分00秒"));
    QVERIFY(allEnabled(lockedControls(form), false));

    // A stray tick after the start does nothing more.
    form.timSend_Timer();
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));

    // Cancelling the dialog afterwards hands the controls back.
    aMain_sMail::Settings.SMTP = QStringLiteral("smtp.example.jp");
    QCOMPARE(openSchedule(form, cancel), 1);
    QVERIFY(allEnabled(lockedControls(form), true));
}

void TestScheduledStart::firesAfterAJumpPastTheTime()
{
    MainWindowFixture& w = *scheduleWindow(m_window, at(10, 0, 0));
    WriteForm& form = *w.form;
    ScopedGuiFakes& fakes = w.fakes;
    auto& clock = w.clock;
    QCOMPARE(openSchedule(form, confirm(k1030)), 1);
    aMain_sMail::Settings.SMTP.clear();
    form.timSend_Timer();
    QVERIFY(form.timSend->isEnabled());

    // Suspended across the start time: the first tick after waking starts the delivery.
    clock->set(QDateTime(QDate(2026, 3, 8), QTime(7, 12, 41)));
    form.timSend_Timer();
    QCOMPARE(form.lblNowTime->text(), QStringLiteral("2026/03/08 07:12:41"));
    QVERIFY(!form.timSend->isEnabled());
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    QCOMPARE(fakes.boxes().shown.front().text, kSettingsMessage);
}

void TestScheduledStart::timerDrivesTheTick()
{
    MainWindowFixture& w = *scheduleWindow(m_window, at(10, 29, 0));
    WriteForm& form = *w.form;
    ScopedGuiFakes& fakes = w.fakes;
    auto& clock = w.clock;
    QCOMPARE(openSchedule(form, confirm(k1030)), 1);
    aMain_sMail::Settings.SMTP.clear();
    QTRY_COMPARE_WITH_TIMEOUT(form.lblNowTime->text(), QStringLiteral("2026/03/07 10:29:00"), 3000);
    QVERIFY(form.timSend->isEnabled());
    clock->set(at(10, 30, 1));
    QTRY_VERIFY_WITH_TIMEOUT(!form.timSend->isEnabled(), 3000);
    QVERIFY(showsText(fakes, kSettingsMessage));
}

void TestScheduledStart::scheduleChangedDuringTheYieldDoesNotFire()
{
    MainWindowFixture& w = *scheduleWindow(m_window, at(10, 0, 0));
    WriteForm& form = *w.form;
    ScopedGuiFakes& fakes = w.fakes;
    auto& clock = w.clock;
    QCOMPARE(openSchedule(form, confirm(k1030)), 1);
    clock->set(at(10, 30, 0));

    // Cleared: the menu runs during the tick's yield and the operator cancels the dialog.
    std::unique_ptr<NextDialog<frmTimerSet>> script;
    QTimer::singleShot(0, &form, [&] {
        form.SubjectText->setText(QStringLiteral("Hello")); // keep the menu's checks happy
        script = std::make_unique<NextDialog<frmTimerSet>>(cancel);
        form.mnOption_Timer->trigger();
        aMain_sMail::Settings.SMTP.clear();
    });
    form.timSend_Timer();
    QVERIFY(script && script->opened() == 1);
    QVERIFY(fakes.boxes().shown.empty());
    QVERIFY(!form.timSend->isEnabled());
    QVERIFY(form.fraTimerDisp->isHidden());
    QVERIFY(allEnabled(lockedControls(form), true));

    // Replaced: a later time confirmed during the yield does not fire on this tick...
    aMain_sMail::Settings.SMTP = QStringLiteral("smtp.example.jp");
    clock->set(at(10, 0, 0));
    QCOMPARE(openSchedule(form, confirm(k1030)), 1);
    clock->set(at(10, 30, 0));
    QTimer::singleShot(0, &form, [&] {
        script =
            std::make_unique<NextDialog<frmTimerSet>>(confirm({"2026", "03", "07", "10", "45"}));
        form.mnOption_Timer->trigger();
        aMain_sMail::Settings.SMTP.clear();
    });
    form.timSend_Timer();
    QVERIFY(script->opened() == 1);
    QVERIFY(fakes.boxes().shown.empty());
    QVERIFY(form.timSend->isEnabled());
    QCOMPARE(form.lblSendTime->text(), QStringLiteral("2026年03月07日 10時45分00秒"));

    // ...nor later before its own time, and fires at it.
    clock->set(at(10, 44, 59));
    form.timSend_Timer();
    QVERIFY(fakes.boxes().shown.empty());
    clock->set(at(10, 45, 0));
    form.timSend_Timer();
    QCOMPARE(fakes.boxes().shown.size(), size_t(1));
    QCOMPARE(fakes.boxes().shown.front().text, kSettingsMessage);
}

void TestScheduledStart::menuRefusedDuringARun()
{
    // The first mail is a minute away, so the run stays between its start and its first tick.
    MainWindowFixture& w = *scheduleWindow(m_window, at(10, 0, 0), 60000);
    WriteForm& form = *w.form;
    ScopedGuiFakes& fakes = w.fakes;
    // The start notice fails; the run goes on regardless.
    w.transport->setOtherSendsOutcome(testing_support::failedSend(
        QStringLiteral("SMTPサーバーに接続できません"), transport::FailureClass::Connection));
    QCOMPARE(openSchedule(form, confirm(k1030)), 1);
    w.clock->set(at(10, 30, 0));
    form.timSend_Timer();
    // The run has started: locked by the send handler, its first mail not yet due.
    QVERIFY(!form.timSend->isEnabled());
    QVERIFY(form.Timer1->isEnabled());
    QCOMPARE(form.run.SendFlag, qint16(0));
    QCOMPARE(w.recipients(), QStringList({testing_support::kOperator}));
    const size_t before = fakes.boxes().shown.size();

    QCOMPARE(openSchedule(form, cancel), 0);
    QCOMPARE(fakes.boxes().shown.size(), before + 1);
    QCOMPARE(fakes.boxes().shown.back().text, kBusyMessage);
    QCOMPARE(fakes.boxes().shown.back().caption,
             std::optional<QString>(QStringLiteral("KEZ-MAILER")));
    QVERIFY(allEnabled(lockedControls(form), false));
    QCOMPARE(aMain_sMail::ScheduledTime, QStringLiteral("2026年03月07日 10時30分00秒"));

    // Once the first mail has gone out, SendFlag tells the same.
    WriteForm other(w.app.path());
    other.run.SendFlag = 1;
    QCOMPARE(openSchedule(other, cancel), 0);
    QCOMPARE(fakes.boxes().shown.back().text, kBusyMessage);
    QVERIFY(allEnabled(lockedControls(other), true));
}

QTEST_MAIN(TestScheduledStart)
#include "test_scheduled_start.moc"
