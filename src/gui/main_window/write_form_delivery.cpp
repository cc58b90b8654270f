// The delivery run of the main window: the send button, the per-mail tick, POP before SMTP,
// the test and notice mails, pause, resume and cancel.
#include "gui/main_window/write_form.h"

#include "core/delivery/delivery_log.h"
#include "core/delivery/recipient_list.h"
#include "core/delivery/resume_interval.h"
#include "core/settings/a_main_smail.h"
#include "core/settings/settings_file.h"
#include "core/text/trim.h"
#include "core/transport/nmail.h"
#include "gui/main_window/run_title.h"
#include "gui/platform/message_boxes.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

using aMain_sMail::Settings;
using platform::MsgAnswer;
using platform::MsgButtons;
using platform::MsgIcon;

namespace {

const QString kIntervalCaption = QStringLiteral("KEZ-MAILER 配信間隔");

// The transport's description of the failure that just happened, up to its first NUL.
QString fetchErrorText()
{
    QString buffer;
    int size = kErrorTextBufferSize;
    NMailGetMessage(0, buffer, size);
    return delivery::ErrorTextOfBuffer(buffer);
}

QString senderText(const QString& name)
{
    return name + QLatin1Char('<') + Settings.MAIL + QLatin1Char('>');
}

} // namespace

void WriteForm::connectDelivery()
{
    connect(SendCommand, &QPushButton::clicked, this, &WriteForm::SendCommand_Click);
    connect(Timer1, &platform::FormTimer::timeout, this, &WriteForm::Timer1_Timer);
    connect(Timer2, &platform::FormTimer::timeout, this, &WriteForm::Timer2_Timer);
    connect(cmdTestSend, &QPushButton::clicked, this, &WriteForm::cmdTestSend_Click);
    connect(cmdSendPouse, &QPushButton::clicked, this, &WriteForm::cmdSendPouse_Click);
    connect(cmdSendRtry, &QPushButton::clicked, this, &WriteForm::cmdSendRtry_Click);
    connect(CancelCommand, &QPushButton::clicked, this, &WriteForm::CancelCommand_Click);
}

void WriteForm::SendCommand_Click()
{
    // The schedule tick calls this too; once a run has locked the window, a second start would
    // open the list twice and interleave two runs.
    if (m_unloaded || m_runStarted)
        return;

    if (!checkComposeInputs(QStringLiteral("KEZ-MAILER")))
        return;
    const QString listPath = compose::Trim(ToText->text());

    // The probe: a list of fewer than two lines does not start, silently. The list stays open
    // from here on, so the run reads exactly the file that was probed.
    QString reason;
    std::unique_ptr<delivery::RecipientList> list =
        delivery::RecipientList::open(listPath, &reason);
    std::optional<bool> startable;
    if (list)
        startable = list->hasSecondLine(&reason);
    if (!startable) {
        platform::msgBox(
            this,
            QStringLiteral("CSVファイルを読み込めませんでした。\n%1\n%2").arg(listPath, reason),
            MsgIcon::Exclamation);
        if (!m_unloaded)
            ToText->setFocus();
        return;
    }
    if (!*startable)
        return;

    m_runStarted = true;
    for (QWidget* w : {static_cast<QWidget*>(cmdTestSend), static_cast<QWidget*>(SendCommand),
                       static_cast<QWidget*>(cmdCSV), static_cast<QWidget*>(ToText),
                       static_cast<QWidget*>(SubjectText), static_cast<QWidget*>(txtFrom),
                       static_cast<QWidget*>(AttachCommand), static_cast<QWidget*>(AttachText),
                       static_cast<QWidget*>(cmdDoc), static_cast<QWidget*>(BodyText)})
        w->setEnabled(false);
    m_runTitle->start(listPath, Timer1->interval());

    SendStartNotice();
    if (m_unloaded)
        return;

    ErrCount = 0;
    SendCount = 0;
    m_list = std::move(list);
    Timer1->setEnabled(true);
    if (Settings.POP3TIME != 0)
        Timer2->setEnabled(true);
}

void WriteForm::Timer1_Timer()
{
    // A yield inside the running tick (label repaint, error notice, a POP login, the cancel
    // question) may have enabled the timer again. The next mail waits until this one is over;
    // the tick's end restarts the countdown.
    if (m_unloaded || m_inTick || m_askingCancel)
        return;
    m_inTick = true;
    Timer1->setEnabled(false);
    SendNextMail();
    if (m_unloaded)
        return;
    m_inTick = false;
    if (PauseFlag == 0)
        Timer1->setEnabled(true);
}

void WriteForm::SendNextMail()
{
    if (!m_list)
        return;
    SendFlag = 1;

    const std::optional<QString> line = m_list->readLine();
    if (!line) {
        if (m_list->hasError())
            listReadFailed();
        else
            finishRun(); // the file shrank under the run: nothing is left to send
        return;
    }
    CurAddress = compose::Trim(*line);
    const QString address = CurAddress;

    const int result =
        NMailSmtpSendMail(Settings.SMTP, address, nullptr, nullptr, senderText(txtFrom->text()),
                          SubjectText->text(), bodyText(), nullptr, AttachText->text(), 1);
    // Fetched at once: a POP login during the yield below would replace the transport's
    // description of this failure with its own.
    const QString errorText = result < 0 ? fetchErrorText() : QString();

    ++SendCount;
    lblSndRec->setText(QString::number(SendCount));
    lblAdres->setText(address);
    m_runTitle->mailSent(SendCount, Timer1->interval());

    // The record goes to disk before the yield: the mail has gone out, and closing the window
    // during the yield must not lose its line.
    QString logPath;
    QString logLine;
    QString logFailure;
    bool logWritten = true;
    if (result < 0) {
        ++ErrCount;
        lblErrCnt->setText(QString::number(ErrCount));
        if (delivery::LogSwitchOn(Settings.ERRLOG)) {
            logPath = Settings.ERRLOGPAS;
            logLine = delivery::ErrorLogLine(errorText, address, delivery::LogStampNow());
            logWritten = delivery::AppendLogLine(logPath, logLine, &logFailure);
        }
    } else if (delivery::LogSwitchOn(Settings.SENDLOG)) {
        logPath = Settings.SENDLOGPAS;
        logLine = delivery::SendLogLine(address, delivery::LogStampNow());
        logWritten = delivery::AppendLogLine(logPath, logLine, &logFailure);
    }
    // A line that could not be written stops the run as the pause button does, so the
    // operator can mend the path in the settings and go on with "Rtry".
    if (!logWritten)
        cmdSendPouse_Click();

    if (!yieldEvents())
        return;

    if (!logWritten) {
        platform::msgBox(this,
                         QStringLiteral("ログファイルに書き込めませんでした。配信を一時停止しま"
                                        "す。\nファイル: %1\n理由: %2\n書き込めなかった行: %3")
                             .arg(logPath, logFailure, logLine),
                         MsgIcon::Critical);
        if (m_unloaded)
            return;
    }
    if (result < 0 && delivery::LogSwitchOn(Settings.ERRLOGMSG)) {
        platform::msgBox(this, address + QLatin1Char('\r') + errorText, MsgIcon::Critical,
                         MsgButtons::Ok, QStringLiteral("KEZ-MAILER 配信エラー"));
        if (m_unloaded)
            return;
    }

    if (m_list->atEnd()) {
        if (m_list->hasError())
            listReadFailed();
        else
            finishRun();
    }
}

void WriteForm::finishRun()
{
    // No tick and no periodic login after the last mail; the end notice logs in on its own.
    Timer1->setEnabled(false);
    Timer2->setEnabled(false);
    m_list.reset();
    SendEndNotice();
    if (m_unloaded)
        return;
    platform::msgBox(this, QStringLiteral("送信が完了しました。"), MsgIcon::Information);
    if (m_unloaded)
        return;
    SendFlag = 0;
    m_runTitle->stop();
    closeMainWindow(CloseOrigin::RunEnd);
}

void WriteForm::listReadFailed()
{
    const QString path = m_list->path();
    const QString reason = m_list->errorString();
    cmdSendPouse_Click();
    platform::msgBox(this,
                     QStringLiteral("CSVファイルを読み込めませんでした。配信を一時停止します。"
                                    "\n%1\n%2")
                         .arg(path, reason),
                     MsgIcon::Critical);
}

void WriteForm::Timer2_Timer()
{
    if (m_unloaded)
        return;
    if (PopTickCount < 60)
        ++PopTickCount;
    if (PopTickCount < 60)
        return;
    Timer1->setEnabled(false);
    Timer2->setEnabled(false);
    Pop3Con();
    if (m_unloaded)
        return;
    PopTickCount = 0;
    // A pause pressed during the login stands: the login must not set the run going again.
    if (PauseFlag != 0)
        return;
    Timer1->setEnabled(true);
    Timer2->setEnabled(true);
}

void WriteForm::Pop3Con()
{
    if (m_unloaded)
        return;
    Label3->setText(QStringLiteral("ＰＯＰ３承認中"));
    if (!yieldEvents())
        return;
    const int handle = NMailPop3Connect(Settings.POP3);
    if (handle != -1) {
        NMailPop3Authenticate(handle, Settings.USERID, Settings.IDPAS, Settings.APOP != 0 ? -1 : 0);
        NMailPop3Close(handle);
    }
    Label3->clear();
    yieldEvents();
}

void WriteForm::sendOperatorMail(const QString& subjectPrefix, const QString& failureCaption,
                                 const QString& successText)
{
    if (Settings.POP3TIME != 0) {
        Pop3Con();
        if (m_unloaded)
            return;
    }
    const int result = NMailSmtpSendMail(
        Settings.SMTP, Settings.MAIL, nullptr, nullptr, senderText(txtFrom->text()),
        subjectPrefix + SubjectText->text(), bodyText(), nullptr, AttachText->text(), 1);
    if (result < 0) {
        platform::msgBox(this, fetchErrorText(), MsgIcon::Critical, MsgButtons::Ok, failureCaption);
        if (m_unloaded)
            return;
    } else if (!successText.isEmpty()) {
        platform::msgBox(this, successText, MsgIcon::Information);
        if (m_unloaded)
            return;
    }
    yieldEvents();
}

void WriteForm::cmdTestSend_Click()
{
    if (m_unloaded)
        return;
    if (!checkComposeInputs(QStringLiteral("KEZ-MAILER")))
        return;
    sendOperatorMail(QStringLiteral("[テスト配信] "), QStringLiteral("テスト配信の送信エラー "),
                     QStringLiteral("テスト配信が正常に行われました。"));
}

void WriteForm::SendStartNotice()
{
    sendOperatorMail(QStringLiteral("[開始] "), QStringLiteral("開始通知メール送信エラー"),
                     QString());
}

void WriteForm::SendEndNotice()
{
    sendOperatorMail(QStringLiteral("[終了] "), QStringLiteral("終了通知メール送信エラー"),
                     QString());
}

void WriteForm::cmdSendPouse_Click()
{
    if (m_unloaded)
        return;
    PauseFlag = 1;
    Timer1->setEnabled(false);
    Timer2->setEnabled(false);
    txtTimerTime->setEnabled(true);
    txtTimerTime->setFocus();
}

void WriteForm::cmdSendRtry_Click()
{
    if (m_unloaded)
        return;
    const double value = delivery::ResumeIntervalValue(txtTimerTime->text());
    if (value == 0) {
        platform::msgBox(this, QStringLiteral("タイマーインターバルを入力して下さい"),
                         MsgIcon::Exclamation, MsgButtons::Ok, kIntervalCaption);
        if (!m_unloaded)
            txtTimerTime->setFocus();
        return;
    }
    if (value < 100) {
        platform::msgBox(this, QStringLiteral("値が少なすぎます。もっと大きな値を入力して下さい"),
                         MsgIcon::Exclamation, MsgButtons::Ok, kIntervalCaption);
        if (!m_unloaded)
            txtTimerTime->setFocus();
        return;
    }
    if (SendFlag == 1) {
        PauseFlag = 0;
        if (Settings.POP3TIME != 0) {
            Timer2->setEnabled(true);
            Pop3Con();
            if (m_unloaded)
                return;
        }
        Timer1->setInterval(delivery::ResumeIntervalMs(value));
        Timer1->setEnabled(true);
    }
    txtTimerTime->setEnabled(false);
}

void WriteForm::CancelCommand_Click()
{
    if (m_unloaded)
        return;
    if (SendFlag == 1) {
        Timer1->setEnabled(false);
        const bool outerQuestion = m_askingCancel;
        m_askingCancel = true;
        const MsgAnswer answer = platform::msgBox(this, QStringLiteral("配信を中止しますか？"),
                                                  MsgIcon::Question, MsgButtons::YesNo);
        if (m_unloaded)
            return;
        m_askingCancel = outerQuestion;
        if (answer == MsgAnswer::No) {
            Timer1->setEnabled(true);
            return;
        }
    }
    closeMainWindow(CloseOrigin::CancelAction);
}
