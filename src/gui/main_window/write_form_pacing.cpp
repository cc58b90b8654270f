// The pace of a run per destination domain: which address goes at a tick, what the caption
// says while every address left waits for its domain, and a domain's pause after the server
// asked the run to slow down. The pacer itself is kez_core's (core/pacing).
#include "gui/main_window/write_form.h"

#include "core/platform/clock.h"
#include "gui/main_window/run_title.h"
#include "gui/platform/message_boxes.h"

using platform::MsgIcon;
using transport::FailureClass;

void WriteForm::startPacing()
{
    m_pacer = std::make_unique<pacing::Pacer>(m_bulk->settings().paceRules);
}

WriteForm::PaceStep WriteForm::pickRecipient(journal::MailRow& row)
{
    // A mail owed from a pause was due when it was picked; it goes before anything else.
    if (m_heldRow) {
        row = *m_heldRow;
        m_heldRow.reset();
        const QString domain = intake::DomainHealth::domainOf(row.address);
        if (!m_domainHealth.isBlocked(domain))
            return PaceStep::Send;
        if (!deferBlocked(row, domain) || closeIfRequested())
            return PaceStep::Stopped;
    }

    const auto source = [this]() -> std::optional<pacing::Pacer::Entry> {
        const std::optional<journal::MailRow> next = nextRecipient();
        if (!next)
            return std::nullopt;
        return pacing::Pacer::Entry{next->seq, next->address};
    };
    for (;;) {
        pacing::Pacer::Pick pick = m_pacer->next(platform::clock().now(), source);
        switch (pick.kind) {
        case pacing::Pacer::Pick::Done: return PaceStep::ListDone;
        case pacing::Pacer::Pick::Again: return PaceStep::Nothing;
        case pacing::Pacer::Pick::Wait:
            m_runTitle->waiting(pacing::waitingTitle(pick.domain, pick.waitUntil));
            return PaceStep::Nothing;
        case pacing::Pacer::Pick::Send:
        case pacing::Pacer::Pick::Blocked: break;
        }
        // The pacer keeps only the list position of an address that waited; a row's fields
        // are found again by its line.
        qint64 line = m_lastRead && m_lastRead->seq == pick.seq ? m_lastRead->line : 0;
        if (pick.address.isEmpty() || (m_merge && line == 0)) {
            QString reason;
            std::optional<QString> address;
            journal::Journal* const log = m_journal.get();
            const qint64 runId = m_journalRun;
            const qint64 seq = pick.seq;
            onJournalThread([&] { address = log->addressOf(runId, seq, &reason, &line); });
            // Unsent, the row is still pending: a resume sends it.
            if (closeIfRequested())
                return PaceStep::Stopped;
            if (!address) {
                addressLookupFailed(pick.seq, pick.domain, reason);
                return PaceStep::Stopped;
            }
            pick.address = *address;
        }
        row = journal::MailRow{pick.seq, pick.address, journal::MailState::Pending, line};
        // The run's own verdict on a domain is checked as well: it names the domain as the
        // error log always has.
        const QString domain = intake::DomainHealth::domainOf(row.address);
        if (pick.kind == pacing::Pacer::Pick::Send && !m_domainHealth.isBlocked(domain))
            return PaceStep::Send;
        if (!deferBlocked(row, domain) || closeIfRequested())
            return PaceStep::Stopped;
    }
}

WriteForm::PaceNote WriteForm::notePaced(const journal::MailRow& row,
                                         const transport::SendOutcome& outcome)
{
    const QString domain = pacing::domainOf(row.address);
    // Taken after the mail's end, so the gap holds between the end of one mail and the
    // start of the next, however long the server took.
    const QDateTime now = platform::clock().now();
    // A mail refused here before any connection (a bad address) never reached the domain.
    if (outcome.failure == FailureClass::Local)
        return {};
    m_pacer->noteSent(domain, now);
    if (outcome.ok) {
        m_pacer->noteDelivered(domain);
        return {};
    }
    const bool slowDown = pacing::isThrottleReply(outcome.replyCode, outcome.errorText) ||
                          (outcome.failure == FailureClass::Connection && !outcome.mayHaveArrived);
    if (!slowDown)
        return {};
    PaceNote note{domain, m_pacer->noteThrottled(domain, now), false};
    if (!note.pausedUntil.isValid())
        return {}; // a domain no rule covers is never held
    // Only a mail that surely did not arrive goes again; its journal row says deferred, so a
    // resume sends it as well if this run does not get to it.
    if (journal::outcomeState(outcome) == journal::MailState::Deferred)
        note.goesAgain = m_pacer->holdAgain(row.seq, domain);
    return note;
}

void WriteForm::addressLookupFailed(qint64 seq, const QString& domain, const QString& reason)
{
    m_pacer->holdAgain(seq, domain);
    cmdSendPouse_Click();
    platform::msgBox(
        this,
        QStringLiteral("配信記録ファイルを読み込めませんでした。配信を一時停止します。"
                       "\nファイル: %1\n理由: %2")
            .arg(m_journal ? m_journal->path() : journal::Journal::pathIn(m_appDir), reason),
        MsgIcon::Critical);
}
