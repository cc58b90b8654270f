// The delivery run of the main window: the send button, the per-mail tick, POP before SMTP,
// the test and notice mails, pause, resume and cancel.
#include "gui/main_window/write_form.h"

#include "core/delivery/delivery_log.h"
#include "core/delivery/recipient_list.h"
#include "core/delivery/resume_interval.h"
#include "core/platform/clock.h"
#include "core/preflight/preflight.h"
#include "core/settings/a_main_smail.h"
#include "core/settings/settings_file.h"
#include "core/text/trim.h"
#include "core/transport/smtp_server.h"
#include "core/transport/transport_thread.h"
#include "gui/main_window/run_title.h"
#include "gui/platform/message_boxes.h"
#include "gui/preflight_window/frm_preflight.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>

using aMain_sMail::Settings;
using platform::MsgAnswer;
using platform::MsgButtons;
using platform::MsgIcon;
using transport::FailureClass;
using transport::LoginOutcome;
using transport::MailRequest;
using transport::MailTransport;
using transport::SendOutcome;

namespace {

const QString kIntervalCaption = QStringLiteral("KEZ-MAILER 配信間隔");
// Label3 after a failed POP login, until one succeeds; the reason is its tool tip.
const QString kLoginFailedLabel = QStringLiteral("ＰＯＰ３認証エラー");
// Mails in a row that fail at the connection level before the run takes the server for down.
constexpr int kServerDownAfter = 3;

QString senderText(const QString& name)
{
    return name + QLatin1Char('<') + Settings.MAIL + QLatin1Char('>');
}

// The row of connection-level failures after one more mail. A server that answered, even with a
// refusal of the recipient, is up; a mail refused before any connection (a bad address) says
// nothing about the server either way.
int connectionFailureRow(int row, FailureClass failure)
{
    switch (failure) {
    case FailureClass::Connection: return row + 1;
    case FailureClass::Local: return row;
    case FailureClass::None:
    case FailureClass::Transaction: break;
    }
    return 0;
}

} // namespace

transport::TransportThread& WriteForm::transportThread()
{
    if (!m_transport)
        m_transport = std::make_unique<transport::TransportThread>();
    return *m_transport;
}

template <class Result> Result WriteForm::awaitTransport(std::function<Result(MailTransport&)> job)
{
    ++run.transportWaits;
    Result result = transportThread().run(std::move(job));
    --run.transportWaits;
    // The login Timer2 owed goes out once no request is open, as a queued call: it runs at the
    // next yield, where a tick of old let Timer2 in.
    if (run.transportWaits == 0 && run.loginDue)
        QMetaObject::invokeMethod(this, &WriteForm::runDueLogin, Qt::QueuedConnection);
    return result;
}

// The intake's waits (write_form_intake.cpp) are the same kind of wait.
template intake::Outcome
WriteForm::awaitTransport<intake::Outcome>(std::function<intake::Outcome(MailTransport&)> job);

void WriteForm::onJournalThread(const std::function<void()>& job)
{
    // The journal's syncs (a few ms each, tens under load) wait here in the local event loop,
    // not on the window's thread.
    awaitTransport<bool>([&job](MailTransport&) {
        job();
        return true;
    });
}

bool WriteForm::closeIfRequested()
{
    if (m_unloaded)
        return true;
    if (!run.closeRequested)
        return false;
    // An outer wait still has results to write; the close goes ahead after it.
    if (run.transportWaits == 0)
        closeMainWindow(CloseOrigin::CancelAction);
    return true;
}

MailRequest WriteForm::mergedMail(const QString& to, const QString& subjectPrefix,
                                  const std::optional<merge::Filled>& filled,
                                  const bulk::RunOptions& options, bulk::MailKind kind) const
{
    // Settings and fields are read here, on the window's thread; the transport gets a copy.
    MailRequest mail;
    mail.server = Settings.SMTP;
    mail.to = to;
    mail.from = senderText(filled ? filled->senderName : txtFrom->text());
    mail.subject = subjectPrefix + (filled ? filled->subject : SubjectText->text());
    mail.body = filled ? filled->body : bodyText();
    mail.attachments = AttachText->text();
    options.decorate(mail, kind, filled ? std::optional(filled->footer) : std::nullopt);
    return mail;
}

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
    // open the list twice and interleave two runs. Before that, the checks and the intake wait
    // in local event loops, where the button and the schedule still work.
    if (isEnding() || run.started || m_starting)
        return;
    m_starting = true;
    const auto startOver = qScopeGuard([this] { m_starting = false; });

    if (!checkComposeInputs(QStringLiteral("KEZ-MAILER")))
        return;
    const QString listPath = compose::Trim(ToText->text());

    // The probe: the list must hold an address; blank lines hold none. The list stays open from
    // here on, so the run reads exactly the file that was probed.
    QString reason;
    std::unique_ptr<delivery::RecipientList> list =
        delivery::RecipientList::open(listPath, &reason);
    std::optional<bool> startable;
    if (list)
        startable = list->hasAddress(&reason);
    if (!startable) {
        platform::msgBox(
            this,
            QStringLiteral("CSVファイルを読み込めませんでした。\n%1\n%2").arg(listPath, reason),
            MsgIcon::Exclamation);
        if (!isEnding())
            ToText->setFocus();
        return;
    }
    if (!*startable) {
        platform::msgBox(this, QStringLiteral("配信先アドレスがありません。\n%1").arg(listPath),
                         MsgIcon::Exclamation);
        if (!isEnding())
            ToText->setFocus();
        return;
    }
    // Last of the checks, before anything is locked or sent: a suppression list or a DKIM key
    // that cannot be used stops the start.
    std::optional<bulk::RunOptions> options = readBulkOptions(true);
    if (!options)
        return;
    std::optional<MergeRun> merge;
    if (!prepareMergeRun(listPath, options->settings().footer, merge) ||
        !preflightLetsRunStart(options->settings())) {
        if (!isEnding())
            ToText->setFocus();
        return;
    }
    // The mailbox's bounces and unsubscribe requests first, so that the run starts from a
    // fresh suppression list.
    if (!intakeBeforeRun(options)) {
        if (!isEnding())
            ToText->setFocus();
        return;
    }
    m_bulk = std::move(options);
    m_refusals.clear();
    m_domainHealth = intake::DomainHealth();

    // The journal comes last: a run it cannot record does not start. A run resumed from it
    // goes on with its own counters and sends no second start notice.
    const bool resumed = m_resume.has_value();
    if (resumed ? !beginResumedRun() : !beginJournalRun(listPath)) {
        if (!isEnding())
            ToText->setFocus();
        return;
    }

    startPacing();
    run.started = true;
    for (QWidget* w : runLockedControls())
        w->setEnabled(false);
    for (QAction* item : runLockedMenuItems())
        item->setEnabled(false);
    // A header row, or a quoted field over several lines, is no recipient of its own: the
    // journal's rows are the list's data rows, read once already.
    if (merge)
        m_runTitle->start(m_runRows, Timer1->interval());
    else
        m_runTitle->start(listPath, Timer1->interval());

    if (!resumed) {
        SendStartNotice();
        if (isEnding())
            return;
        run.ErrCount = 0;
        run.SendCount = 0;
        run.SkipCount = 0;
    } else {
        m_runTitle->mailSent(run.SendCount + run.SkipCount + m_titleOffset, Timer1->interval());
    }
    run.List = std::move(list);
    m_merge = std::move(merge);
    Timer1->setEnabled(true);
    if (Settings.POP3TIME != 0)
        Timer2->setEnabled(true);
}

void WriteForm::Timer1_Timer()
{
    // A yield or a wait inside the running tick (label repaint, error notice, a POP login, the
    // cancel question, the mail itself) may have enabled the timer again. The next mail waits
    // until this one is over, and until any other request on its way is done; the tick's end
    // restarts the countdown.
    if (isEnding() || run.inTick || run.askingCancel || run.transportWaits > 0)
        return;
    run.inTick = true;
    Timer1->setEnabled(false);
    SendNextMail();
    if (isEnding())
        return;
    run.inTick = false;
    if (run.PauseFlag == 0)
        Timer1->setEnabled(true);
}

void WriteForm::SendNextMail()
{
    if (!run.List)
        return;
    run.SendFlag = 1;

    // Blank lines hold no recipient: they are passed over, not sent, counted or logged. A
    // domain that blocks the sender gets nothing more this run; its addresses stay unsent.
    journal::MailRow next;
    switch (pickRecipient(next)) {
    case PaceStep::Send: break;
    case PaceStep::Nothing:
    case PaceStep::Stopped: return;
    case PaceStep::ListDone:
        listDone(); // a read error, or the file shrank under the run
        return;
    }
    run.CurAddress = next.address;
    const QString address = run.CurAddress;

    // An address on the suppression list, or one this run has already sent to, gets no mail:
    // it shows and has its error-log line, but counts in neither counter and raises no notice.
    std::optional<QString> skipped = m_bulk->skipReason(address);
    // A row that left a field empty, with no default for it, gets no mail either: the
    // operator would not send "様" with no name before it.
    std::optional<merge::Filled> filled;
    if (!skipped && m_merge) {
        std::optional<std::variant<merge::Filled, merge::EmptyField>> texts = fillRow(next);
        if (!texts)
            return;
        if (const merge::EmptyField* empty = std::get_if<merge::EmptyField>(&*texts))
            skipped = merge::EmptyFieldText(empty->name);
        else
            filled = std::get<merge::Filled>(std::move(*texts));
    }
    SendOutcome outcome;
    PaceNote paced;
    QString journalFailure;
    journal::Journal* const log = m_journal.get();
    const qint64 runId = m_journalRun;
    const qint64 seq = next.seq;
    if (skipped) {
        ++run.SkipCount;
        const QString reason = *skipped;
        onJournalThread([&] {
            log->recordOutcome(runId, seq, journal::MailState::Skipped, reason,
                               platform::clock().now(), &journalFailure);
        });
    } else {
        const MailRequest mail =
            mergedMail(address, QString(), filled, *m_bulk, bulk::MailKind::Delivery);
        // The journal's writes go with the mail on the transport's thread: the synced 'sending'
        // row first (no row, no mail), the outcome as soon as it is known. A lost outcome
        // leaves the row 'sending', which a resume takes for "maybe sent".
        struct Journaled
        {
            bool marked = false;
            SendOutcome outcome;
            QString failure;
        };
        const Journaled sent = awaitTransport<Journaled>([log, runId, seq, mail](MailTransport& t) {
            Journaled out;
            out.marked = log->markSending(runId, seq, platform::clock().now(), &out.failure);
            if (!out.marked)
                return out;
            out.outcome = t.send(mail);
            log->recordOutcome(runId, seq, journal::outcomeState(out.outcome),
                               out.outcome.errorText, platform::clock().now(), &out.failure,
                               out.outcome.messageId);
            return out;
        });
        journalFailure = sent.failure;
        if (!sent.marked) {
            // Unrecorded, the mail did not go; it is the first to go when the run goes on.
            m_heldRow = next;
            cmdSendPouse_Click();
            if (closeIfRequested())
                return;
            journalWriteFailed(journalFailure, true);
            return;
        }
        outcome = sent.outcome;
        noteRunOutcome(address, outcome);
        paced = notePaced(next, outcome);
        // A mail that goes again later is not yet done in the caption's count.
        if (paced.goesAgain)
            --m_titleOffset;
        // A mail that may have arrived is never sent twice either.
        if (outcome.ok || outcome.mayHaveArrived)
            m_bulk->noteSent(address);
        ++run.SendCount;
        lblSndRec->setText(QString::number(run.SendCount));
    }
    const bool journaled = journalFailure.isEmpty();
    lblAdres->setText(address);
    // The caption counts list addresses: a skipped one is done as well.
    m_runTitle->mailSent(run.SendCount + run.SkipCount + m_titleOffset, Timer1->interval());

    // The record goes to disk before the yield: the mail has gone out, and closing the window
    // during the yield must not lose its line.
    LogAppend logged;
    const bool failed = !skipped && !outcome.ok;
    if (skipped) {
        logged = appendErrorLogLine(*skipped, address);
    } else if (failed) {
        ++run.ErrCount;
        lblErrCnt->setText(QString::number(run.ErrCount));
        logged = appendErrorLogLine(outcome.errorText, address);
        // The domain's pause has a line of its own, as a blocked domain does.
        if (logged.written && paced.pausedUntil.isValid())
            logged =
                appendErrorLogLine(pacing::backoffLogText(paced.domain, paced.pausedUntil), {});
    } else {
        logged = appendSendLogLine(address);
    }

    // A server that fails mail after mail at the connection level is down: each further mail
    // would only cost a time-out and a failure. With nothing left to send the run just ends. A
    // skipped address never met the server and leaves the row as it was.
    if (!skipped)
        run.connectionFailures = connectionFailureRow(run.connectionFailures, outcome.failure);
    const bool serverDown = run.connectionFailures >= kServerDownAfter && !noRecipientLeft();

    // Either stops the run as the pause button does: the operator can mend the log's path in
    // the settings, or wait for the server, and go on with "Rtry".
    if (!logged.written || serverDown || !journaled)
        cmdSendPouse_Click();

    // The operator closed or cancelled while the mail was on its way: its line is written, so
    // the program ends now. A line that could not be written is still reported first.
    if (run.closeRequested) {
        if (!logged.written)
            logWriteFailed(logged, true);
        closeIfRequested();
        return;
    }

    if (!yieldEvents())
        return;

    if (!logged.written) {
        logWriteFailed(logged, true);
        if (isEnding())
            return;
    }
    if (!journaled) {
        journalWriteFailed(journalFailure, true);
        if (isEnding())
            return;
    }
    if (failed && delivery::LogSwitchOn(Settings.ERRLOGMSG)) {
        platform::msgBox(this, address + QLatin1Char('\r') + outcome.errorText, MsgIcon::Critical,
                         MsgButtons::Ok, QStringLiteral("KEZ-MAILER 配信エラー"));
        if (isEnding())
            return;
    }
    if (serverDown) {
        serverDownPaused(outcome.errorText);
        if (isEnding())
            return;
    }

    if (noRecipientLeft())
        listDone();
}

bool WriteForm::preflightLetsRunStart(const bulk::BulkSettings& options)
{
    // DNS records change seldom, and a list sent in several runs a day should not wait for
    // the lookups each time; a new day looks again.
    const QString domain = preflight::SenderDomain(Settings.MAIL);
    const QDate today = platform::clock().now().date();
    if (m_preflightPassed.value(domain) == today)
        return true;

    const preflight::Inputs inputs = preflight::InputsFor(Settings.MAIL, options);
    const QString before = Label3->text();
    const QString beforeTip = Label3->toolTip();
    Label3->setText(QStringLiteral("配信前チェック中"));
    Label3->setToolTip(QString());
    const QList<preflight::CheckResult> results =
        preflight::Check(inputs, frmPreflight::kCheckLimit);
    if (isEnding())
        return false;
    Label3->setText(before);
    Label3->setToolTip(beforeTip);

    // A warning (a record not found for certain, a resolver that did not answer) never holds
    // a run back: only a check known to fail asks.
    if (preflight::AnyFailed(results)) {
        platform::MessageBoxRequest question;
        question.text =
            QStringLiteral("配信前チェックで問題が見つかりました。このまま配信しますか？");
        question.caption = QStringLiteral("KEZ-MAILER");
        question.icon = MsgIcon::Question;
        question.buttons = MsgButtons::YesNoDefaultNo;
        question.detailsLabel = QStringLiteral("詳細(&D)...");
        question.showDetails = [inputs, results](QWidget* parent) {
            frmPreflight details(inputs, parent, results);
            details.exec();
        };
        const MsgAnswer answer = platform::messageBoxes().show(this, question);
        if (isEnding() || answer != MsgAnswer::Yes)
            return false;
    }
    m_preflightPassed.insert(domain, today);
    return true;
}

std::optional<bulk::RunOptions> WriteForm::readBulkOptions(bool forRun)
{
    QString refusal;
    std::optional<bulk::RunOptions> options =
        forRun ? bulk::RunOptions::prepareRun(m_appDir, &refusal, Settings.MAIL)
               : bulk::RunOptions::prepareTestMail(m_appDir, &refusal, Settings.MAIL);
    if (!options)
        platform::msgBox(this, refusal, MsgIcon::Exclamation);
    return options;
}

void WriteForm::listDone()
{
    if (!m_resuming && listHasError())
        listReadFailed();
    else
        finishRun();
}

WriteForm::LogAppend WriteForm::appendLogLine(const QString& path, const QString& line)
{
    LogAppend append{path, line, QString(), true};
    append.written = delivery::AppendLogLine(path, line, &append.failure);
    return append;
}

WriteForm::LogAppend WriteForm::appendSendLogLine(const QString& address)
{
    if (!delivery::LogSwitchOn(Settings.SENDLOG))
        return {};
    return appendLogLine(Settings.SENDLOGPAS,
                         delivery::SendLogLine(address, delivery::LogStampNow()));
}

WriteForm::LogAppend WriteForm::appendErrorLogLine(const QString& errorText, const QString& address)
{
    if (!delivery::LogSwitchOn(Settings.ERRLOG))
        return {};
    return appendLogLine(Settings.ERRLOGPAS,
                         delivery::ErrorLogLine(errorText, address, delivery::LogStampNow()));
}

void WriteForm::logWriteFailed(const LogAppend& append, bool paused)
{
    const QString pause = paused ? QStringLiteral("配信を一時停止します。") : QString();
    platform::msgBox(this,
                     QStringLiteral("ログファイルに書き込めませんでした。%1\nファイル: %2\n理由: "
                                    "%3\n書き込めなかった行: %4")
                         .arg(pause, append.path, append.failure, append.line),
                     MsgIcon::Critical);
}

void WriteForm::serverDownPaused(const QString& lastReason)
{
    // The server as the error texts name it; never the password of an SMTP URL.
    QString ignored;
    const std::optional<transport::SmtpServer> server =
        transport::parseSmtpServer(Settings.SMTP, &ignored);
    const QString name = server ? server->displayName() : QString();
    platform::msgBox(this,
                     QStringLiteral("SMTPサーバー %1 との通信に%2通続けて失敗しました。配信を一時"
                                    "停止します。\n最後のエラー: %3\nサーバーを確認してから"
                                    "「Rtry」を押すと、配信を再開します。")
                         .arg(name)
                         .arg(run.connectionFailures)
                         .arg(lastReason),
                     MsgIcon::Critical);
}

void WriteForm::finishRun()
{
    // No tick and no periodic login after the last mail; the end notice logs in on its own.
    Timer1->setEnabled(false);
    Timer2->setEnabled(false);
    run.List.reset();
    m_merge.reset();
    suppressRunRefusals(false);
    if (closeIfRequested())
        return;
    endJournalRun(journal::RunState::Finished);
    SendEndNotice();
    if (isEnding())
        return;
    // With failures the box says how many, with the window's own captions: the window closes
    // with it and takes the counters along.
    if (run.ErrCount > 0)
        platform::msgBox(this,
                         QStringLiteral("送信が完了しました。\n送信件数：%1　配信エラー件数：%2")
                             .arg(run.SendCount)
                             .arg(run.ErrCount),
                         MsgIcon::Exclamation);
    else
        platform::msgBox(this, QStringLiteral("送信が完了しました。"), MsgIcon::Information);
    if (isEnding())
        return;
    run.SendFlag = 0;
    m_runTitle->stop();
    closeMainWindow(CloseOrigin::RunEnd);
}

void WriteForm::listReadFailed()
{
    const QString path = m_merge ? m_merge->rows->path() : run.List->path();
    const QString reason = listErrorText();
    cmdSendPouse_Click();
    platform::msgBox(this,
                     QStringLiteral("CSVファイルを読み込めませんでした。配信を一時停止します。"
                                    "\n%1\n%2")
                         .arg(path, reason),
                     MsgIcon::Critical);
}

void WriteForm::Timer2_Timer()
{
    if (isEnding())
        return;
    if (run.PopTickCount < 60)
        ++run.PopTickCount;
    if (run.PopTickCount < 60)
        return;
    // A mail (or another login) is on its way: the login follows it on the transport's thread
    // once its results are written (runDueLogin), as it followed the mail's yield before.
    if (run.transportWaits > 0) {
        run.loginDue = true;
        return;
    }
    Timer1->setEnabled(false);
    Timer2->setEnabled(false);
    Pop3Con();
    if (isEnding())
        return;
    run.PopTickCount = 0;
    // A pause pressed during the login stands: the login must not set the run going again.
    if (run.PauseFlag != 0)
        return;
    Timer1->setEnabled(true);
    Timer2->setEnabled(true);
}

void WriteForm::runDueLogin()
{
    // Another wait opened first: its own end queues this call again.
    if (!run.loginDue || isEnding() || run.transportWaits > 0)
        return;
    run.loginDue = false;
    // A pause or the end of the run stopped Timer2 meanwhile, and with it the login it owed.
    if (!Timer2->isEnabled())
        return;
    Timer2_Timer();
}

LoginOutcome WriteForm::Pop3Con()
{
    if (isEnding())
        return {};
    Label3->setText(QStringLiteral("ＰＯＰ３承認中"));
    if (!yieldEvents())
        return {};
    transport::Pop3Request login;
    login.server = Settings.POP3;
    login.user = Settings.USERID;
    login.password = Settings.IDPAS;
    login.apop = Settings.APOP != 0;
    const LoginOutcome outcome =
        awaitTransport<LoginOutcome>([login](MailTransport& t) { return t.pop3Login(login); });

    // A failed login is no longer silent: it goes to the error log with no address (it was no
    // mail), and Label3 shows it until a login succeeds.
    const LogAppend logged = outcome.ok ? LogAppend() : appendErrorLogLine(outcome.errorText, {});
    // An unwritable log pauses the run as a mail's line does, while there is a run to pause.
    const bool pause = !logged.written && run.List;
    if (pause)
        cmdSendPouse_Click();
    if (run.closeRequested && !logged.written)
        logWriteFailed(logged, pause);
    // Label3 keeps saying that the window waits to close.
    if (closeIfRequested())
        return outcome;
    if (outcome.ok) {
        Label3->clear();
        Label3->setToolTip(QString());
    } else {
        Label3->setText(kLoginFailedLabel);
        Label3->setToolTip(outcome.errorText);
    }
    if (!logged.written) {
        logWriteFailed(logged, pause);
        if (isEnding())
            return outcome;
    }
    yieldEvents();
    return outcome;
}

void WriteForm::sendOperatorMail(const QString& subjectPrefix, const QString& failureCaption,
                                 const QString& successText, const bulk::RunOptions& options,
                                 bulk::MailKind kind, const std::optional<merge::Filled>& filled)
{
    if (Settings.POP3TIME != 0) {
        const LoginOutcome login = Pop3Con();
        if (isEnding())
            return;
        // The mail may still go out (the server may not need the login), so it is tried all
        // the same; but the operator learns why it may be refused.
        // Only the test mail has the operator watching; a notice's failure shows as a notice does.
        if (!login.ok && kind == bulk::MailKind::Test) {
            platform::msgBox(this,
                             login.errorText + QStringLiteral("\nこのままテスト配信を送信します。"),
                             MsgIcon::Critical, MsgButtons::Ok, kLoginFailedLabel);
            if (isEnding())
                return;
        }
    }
    const MailRequest mail = mergedMail(Settings.MAIL, subjectPrefix, filled, options, kind);
    const SendOutcome outcome =
        awaitTransport<SendOutcome>([mail](MailTransport& t) { return t.send(mail); });
    if (closeIfRequested())
        return;
    if (!outcome.ok) {
        platform::msgBox(this, outcome.errorText, MsgIcon::Critical, MsgButtons::Ok,
                         failureCaption);
        if (isEnding())
            return;
    } else if (!successText.isEmpty()) {
        platform::msgBox(this, successText, MsgIcon::Information);
        if (isEnding())
            return;
    }
    yieldEvents();
}

void WriteForm::cmdTestSend_Click()
{
    if (isEnding())
        return;
    if (!checkComposeInputs(QStringLiteral("KEZ-MAILER")))
        return;
    const std::optional<bulk::RunOptions> options = readBulkOptions(false);
    if (!options)
        return;
    std::optional<merge::Filled> filled;
    if (!testMailFields(*options, &filled))
        return;
    // Made as a delivery mail for the operator's own address, so it shows what recipients get.
    sendOperatorMail(QStringLiteral("[テスト配信] "), QStringLiteral("テスト配信の送信エラー "),
                     QStringLiteral("テスト配信が正常に行われました。"), *options,
                     bulk::MailKind::Test, filled);
}

void WriteForm::SendStartNotice()
{
    sendOperatorMail(QStringLiteral("[開始] "), QStringLiteral("開始通知メール送信エラー"),
                     QString(), *m_bulk, bulk::MailKind::Notice);
}

void WriteForm::SendEndNotice()
{
    sendOperatorMail(QStringLiteral("[終了] "), QStringLiteral("終了通知メール送信エラー"),
                     QString(), *m_bulk, bulk::MailKind::Notice);
}

void WriteForm::cmdSendPouse_Click()
{
    if (isEnding())
        return;
    run.PauseFlag = 1;
    Timer1->setEnabled(false);
    Timer2->setEnabled(false);
    txtTimerTime->setEnabled(true);
    txtTimerTime->setFocus();
}

void WriteForm::cmdSendRtry_Click()
{
    if (isEnding())
        return;
    const double value = delivery::ResumeIntervalValue(txtTimerTime->text());
    if (value == 0) {
        platform::msgBox(this, QStringLiteral("タイマーインターバルを入力して下さい"),
                         MsgIcon::Exclamation, MsgButtons::Ok, kIntervalCaption);
        if (!isEnding())
            txtTimerTime->setFocus();
        return;
    }
    if (value < 100) {
        platform::msgBox(this, QStringLiteral("値が少なすぎます。もっと大きな値を入力して下さい"),
                         MsgIcon::Exclamation, MsgButtons::Ok, kIntervalCaption);
        if (!isEnding())
            txtTimerTime->setFocus();
        return;
    }
    if (run.SendFlag == 1) {
        run.PauseFlag = 0;
        if (Settings.POP3TIME != 0) {
            Timer2->setEnabled(true);
            Pop3Con();
            if (isEnding())
                return;
            // A pause pressed during the login stands, as it does for Timer2's login: the run
            // stays paused and the interval field open.
            if (run.PauseFlag != 0)
                return;
        }
        Timer1->setInterval(delivery::ResumeIntervalMs(value));
        // The caption's time left shows the new pace at once, not only after the next mail.
        m_runTitle->intervalChanged(Timer1->interval());
        Timer1->setEnabled(true);
    }
    txtTimerTime->setEnabled(false);
}

void WriteForm::CancelCommand_Click()
{
    if (isEnding())
        return;
    if (run.SendFlag == 1) {
        Timer1->setEnabled(false);
        const bool outerQuestion = run.askingCancel;
        run.askingCancel = true;
        const MsgAnswer answer = platform::msgBox(this, QStringLiteral("配信を中止しますか？"),
                                                  MsgIcon::Question, MsgButtons::YesNo);
        run.askingCancel = outerQuestion;
        if (isEnding())
            return;
        if (answer == MsgAnswer::No) {
            Timer1->setEnabled(true);
            return;
        }
    }
    closeMainWindow(CloseOrigin::CancelAction);
}
