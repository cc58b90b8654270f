#include "gui/main_window/write_form.h"

#include "core/platform/clock.h"
#include "core/schedule/schedule_checks.h"
#include "core/settings/a_main_smail.h"
#include "core/settings/settings_file.h"
#include "core/text/trim.h"
#include "gui/platform/message_boxes.h"
#include "gui/schedule_dialog/frm_timer_set.h"

#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

using platform::MsgButtons;
using platform::MsgIcon;

namespace {

// An armed schedule keeps the run's controls out of reach, all together.
void setScheduleLocked(WriteForm& form, bool locked)
{
    for (QWidget* control : form.runLockedControls())
        control->setEnabled(!locked);
}

} // namespace

void WriteForm::connectSchedule()
{
    connect(mnOption_Timer, &QAction::triggered, this, &WriteForm::mnOption_Timer_Click);
    connect(timSend, &platform::FormTimer::timeout, this, &WriteForm::timSend_Timer);
}

void WriteForm::mnOption_Timer_Click()
{
    if (isEnding())
        return;

    // A run owns the locked controls until the application ends. Arming now would start a
    // second run at the set time, and disarming would hand the send button back mid-run.
    if (run.SendFlag == 1 || run.started) {
        platform::msgBox(this, QStringLiteral("配信中はタイマー配信を設定できません。"),
                         MsgIcon::Exclamation);
        return;
    }

    // The settings box of this menu is given no caption.
    if (!checkComposeInputs(std::nullopt))
        return;

    timSend->setEnabled(false);
    aMain_sMail::ScheduleConfirmed = 0;
    {
        // No owner: the dialog centres itself on the screen, not on the main window.
        frmTimerSet dialog(nullptr);
        dialog.exec();
    }
    if (isEnding())
        return;

    ++m_scheduleArming;
    if (aMain_sMail::ScheduleConfirmed == 1) {
        timSend->setEnabled(true);
        timSend->setInterval(1000);
        fraTimerDisp->show();
        setScheduleLocked(*this, true);
        lblSendTime->setText(aMain_sMail::ScheduledTime);
    } else {
        timSend->setEnabled(false);
        fraTimerDisp->hide();
        setScheduleLocked(*this, false);
    }
}

void WriteForm::timSend_Timer()
{
    // A tick that is still inside its yield must not be overtaken by the next one.
    if (isEnding() || m_inScheduleTick || !timSend->isEnabled())
        return;

    lblNowTime->setText(platform::clock().now().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
    const QString now = schedule::ClockScheduleText(platform::clock().now());
    const QString armedTime = aMain_sMail::ScheduledTime;
    const quint64 arming = m_scheduleArming;

    m_inScheduleTick = true;
    const bool alive = yieldEvents();
    m_inScheduleTick = false;
    if (!alive)
        return;

    // The yield may have run the schedule menu: a schedule cleared or replaced meanwhile is
    // not the one this tick read, and only a tick of the new arming may start it.
    if (arming != m_scheduleArming || !timSend->isEnabled() || armedTime.isEmpty())
        return;
    if (QString::compare(now, armedTime, Qt::CaseSensitive) < 0)
        return;

    timSend->setEnabled(false);
    fraTimerDisp->hide();
    SendCommand_Click();
}
