// The intake of bounces and unsubscribe requests, from its menu item and before a run, and the
// run's own refusals: hard ones become suppressions at its end, a blocking domain is left alone.
#include "gui/main_window/write_form.h"

#include "core/bounce/bounce_classifier.h"
#include "core/delivery/delivery_log.h"
#include "core/platform/clock.h"
#include "gui/platform/message_boxes.h"

#include <QLabel>

using aMain_sMail::Settings;
using platform::MsgIcon;

namespace {

const QString kIntakeCaption = QStringLiteral("KEZ-MAILER バウンス・配信停止の取り込み");

QString suppressionOffText()
{
    return QStringLiteral("配信停止リストを使う設定になっていないため、取り込みできません。\n"
                          "メニューの「設定」→「配信オプション」で「配信停止リストの宛先には送信"
                          "しない」をオンにして、リストのファイルを指定して下さい。");
}

QString noAccountText()
{
    return QStringLiteral("取り込むPOP3アカウントがありません。\n"
                          "「設定」の POP3 サーバーか、「配信オプション」の「バウンス・配信停止の"
                          "取り込み」のサーバーを指定して下さい。");
}

} // namespace

intake::Outcome WriteForm::runIntake(const bulk::BulkSettings& options,
                                     const intake::Account& account)
{
    const QString before = Label3->text();
    const QString beforeTip = Label3->toolTip();
    Label3->setText(QStringLiteral("取り込み中"));
    Label3->setToolTip(QStringLiteral("バウンス・配信停止の取り込み中"));
    const QString appDir = m_appDir;
    const intake::Outcome outcome =
        awaitTransport<intake::Outcome>([appDir, options, account](transport::MailTransport&) {
            return intake::Read(appDir, options, account);
        });
    if (!isEnding()) {
        Label3->setText(before);
        Label3->setToolTip(beforeTip);
    }
    return outcome;
}

void WriteForm::mnFile_Intake_Click()
{
    if (isEnding() || run.started)
        return;
    std::optional<bulk::RunOptions> options = readBulkOptions(true);
    if (!options)
        return;
    if (!options->settings().suppress) {
        platform::msgBox(this, suppressionOffText(), MsgIcon::Exclamation, platform::MsgButtons::Ok,
                         kIntakeCaption);
        return;
    }
    const std::optional<intake::Account> account =
        intake::AccountFor(options->settings(), Settings);
    if (!account) {
        platform::msgBox(this, noAccountText(), MsgIcon::Exclamation, platform::MsgButtons::Ok,
                         kIntakeCaption);
        return;
    }
    mnFile_Intake->setEnabled(false);
    const intake::Outcome outcome = runIntake(options->settings(), *account);
    if (closeIfRequested())
        return;
    mnFile_Intake->setEnabled(true);
    QString text = intake::ResultText(outcome.counts);
    if (!outcome.ok)
        text = outcome.error + QStringLiteral("\n\n") + text;
    platform::msgBox(this, text, outcome.ok ? MsgIcon::Information : MsgIcon::Critical,
                     platform::MsgButtons::Ok, kIntakeCaption);
}

bool WriteForm::intakeBeforeRun(std::optional<bulk::RunOptions>& options)
{
    // Without the list there is nothing to add to; without an account nothing to read. The
    // options dialog says that the intake is off then.
    if (!options->settings().suppress)
        return true;
    const std::optional<intake::Account> account =
        intake::AccountFor(options->settings(), Settings);
    if (!account)
        return true;
    const intake::Outcome outcome = runIntake(options->settings(), *account);
    if (closeIfRequested())
        return false;
    if (!outcome.ok) {
        // Like a failed POP before SMTP login: the run would start from a list that may miss
        // the addresses waiting in the mailbox.
        platform::msgBox(this,
                         outcome.error +
                             QStringLiteral("\n\n配信を開始できません。取り込みの設定を確かめて"
                                            "下さい。\n") +
                             intake::ResultText(outcome.counts),
                         MsgIcon::Critical, platform::MsgButtons::Ok, kIntakeCaption);
        return false;
    }
    const LogAppend logged = appendErrorLogLine(intake::ResultText(outcome.counts), {});
    if (!logged.written) {
        logWriteFailed(logged, false);
        return false;
    }
    // Read again: the list the run skips must hold what the intake just added.
    options = readBulkOptions(true);
    return options.has_value() && !isEnding();
}

void WriteForm::noteRunOutcome(const QString& address, const transport::SendOutcome& outcome)
{
    const QString domain = intake::DomainHealth::domainOf(address);
    const bool refused = !outcome.ok && outcome.replyCode >= 500;
    const bounce::Verdict verdict =
        refused ? bounce::classifyReply(outcome.replyCode, outcome.errorText)
                : bounce::Verdict::Unknown;
    if (refused && verdict == bounce::Verdict::Hard)
        m_refusals.append({address, outcome.replyCode, outcome.errorText});
    // A mail lost to the connection says nothing about the domain.
    if (!outcome.ok && outcome.replyCode == 0)
        return;
    if (!m_domainHealth.note(domain, outcome.ok, verdict,
                             bounce::enhancedStatusIn(outcome.errorText)))
        return;
    // Addresses of the domain that wait for their pace are deferred as well.
    if (m_pacer)
        m_pacer->blockForRun(domain);
    Label3->setText(intake::BlockedDomainLabel(domain));
    Label3->setToolTip(intake::BlockedDomainLogText(domain));
    const LogAppend logged = appendErrorLogLine(intake::BlockedDomainLogText(domain), {});
    if (!logged.written)
        logWriteFailed(logged, false);
}

bool WriteForm::deferBlocked(const journal::MailRow& row, const QString& domain)
{
    QString failure;
    journal::Journal* const log = m_journal.get();
    const qint64 runId = m_journalRun;
    const QString reason = intake::BlockedAddressLogText(domain);
    onJournalThread([&] {
        log->recordOutcome(runId, row.seq, journal::MailState::Deferred, reason,
                           platform::clock().now(), &failure);
    });
    if (!failure.isEmpty()) {
        m_heldRow = row;
        cmdSendPouse_Click();
        journalWriteFailed(failure, true);
        return false;
    }
    ++run.SkipCount;
    const LogAppend logged = appendErrorLogLine(reason, row.address);
    if (!logged.written) {
        cmdSendPouse_Click();
        logWriteFailed(logged, true);
        return false;
    }
    return true;
}

void WriteForm::suppressRunRefusals(bool quiet)
{
    if (m_refusals.isEmpty() || !m_bulk || !m_bulk->settings().suppress)
        return;
    const QList<intake::Refusal> refusals = std::exchange(m_refusals, {});
    const QString appDir = m_appDir;
    const bulk::BulkSettings options = m_bulk->settings();
    const intake::Outcome outcome =
        awaitTransport<intake::Outcome>([appDir, options, refusals](transport::MailTransport&) {
            return intake::SuppressRefusals(appDir, options, refusals);
        });
    if (outcome.ok)
        return;
    const LogAppend logged = appendErrorLogLine(outcome.error, {});
    if (!quiet && !isEnding()) {
        platform::msgBox(this, outcome.error, MsgIcon::Critical);
        if (!logged.written && !isEnding())
            logWriteFailed(logged, false);
    }
}
