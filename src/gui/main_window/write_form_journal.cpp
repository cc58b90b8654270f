// The delivery journal in the main window: a new run's record, the question about an
// interrupted run at start-up, and the start of a resumed run. The journal itself, and what a
// resume sends, are kez_core's (core/journal).
#include "gui/main_window/write_form.h"

#include "core/delivery/delivery_log.h"
#include "core/platform/clock.h"
#include "core/settings/a_main_smail.h"
#include "core/text/trim.h"
#include "core/transport/message_composer.h"
#include "gui/main_window/run_title.h"
#include "gui/platform/message_boxes.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

using platform::MsgAnswer;
using platform::MsgButtons;
using platform::MsgIcon;

namespace {

// The error-log line of a mail that was on its way when the run broke off.
const QString kInFlightText = QStringLiteral(
    "前回の配信の中断時に送信中だったため、届いている可能性があります（再送しませんでした）");

QString journalRefusal(const QString& path, const QString& reason)
{
    return QStringLiteral("配信記録ファイルを開けないか書き込めないため、配信を開始できません。\n"
                          "ファイル: %1\n理由: %2")
        .arg(path, reason);
}

} // namespace

bool WriteForm::beginJournalRun(const QString& listPath)
{
    // Read on the window's thread; the journal's work (the list read whole, the files hashed,
    // the synced start) goes on the transport's.
    journal::RunMessage fields;
    fields.subject = SubjectText->text();
    fields.senderName = txtFrom->text();
    fields.body = bodyText();
    fields.intervalMs = Timer1->interval();
    const QString attachments = AttachText->text();
    const QDateTime now = platform::clock().now();
    const QString appDir = m_appDir;
    // The options were read just before; their JOURNALDAYS says how long runs are kept.
    const int keepDays = m_bulk ? m_bulk->settings().journalDays : bulk::kDefaultJournalDays;

    QString reason;
    bool listUnreadable = false;
    std::optional<qint64> id;
    qint64 rowCount = 0;
    onJournalThread([&] {
        m_journal = journal::Journal::open(appDir, &reason);
        if (!m_journal || !m_journal->prune(now, keepDays, &reason))
            return;
        std::optional<journal::RunMessage> message =
            journal::describeRun(listPath, attachments, &reason);
        const std::optional<QList<journal::ListAddress>> addresses =
            message ? journal::readListAddresses(listPath, &reason) : std::nullopt;
        if (!message || !addresses) {
            listUnreadable = true;
            return;
        }
        message->subject = fields.subject;
        message->senderName = fields.senderName;
        message->body = fields.body;
        message->intervalMs = fields.intervalMs;
        id = m_journal->beginRun(*message, *addresses, now, &reason);
        rowCount = addresses->size();
    });
    if (!id) {
        closeJournal();
        if (listUnreadable)
            platform::msgBox(
                this,
                QStringLiteral("CSVファイルを読み込めませんでした。\n%1\n%2").arg(listPath, reason),
                MsgIcon::Exclamation);
        else
            platform::msgBox(this, journalRefusal(journal::Journal::pathIn(m_appDir), reason),
                             MsgIcon::Critical);
        return false;
    }
    // Held to the run's end, so that another window started meanwhile does not offer to resume
    // a run this one is sending.
    m_runLock = journal::RunLock::take(m_appDir, *id, &reason);
    if (!m_runLock) {
        closeJournal();
        platform::msgBox(this, journalRefusal(journal::Journal::pathIn(m_appDir), reason),
                         MsgIcon::Critical);
        return false;
    }
    m_journalRun = *id;
    m_runRows = rowCount;
    m_resuming = false;
    m_nextSeq = 0;
    m_titleOffset = 0;
    m_heldRow.reset();
    return true;
}

void WriteForm::closeJournal()
{
    if (m_journal)
        onJournalThread([&] { m_journal.reset(); });
}

void WriteForm::offerResume()
{
    if (isEnding() || run.started)
        return;
    QString reason;
    std::optional<journal::InterruptedRun> interrupted;
    const QString appDir = m_appDir;
    onJournalThread([&] {
        m_journal = journal::Journal::openExisting(appDir, &reason);
        if (m_journal)
            interrupted = m_journal->interruptedRun(&reason);
    });
    if (!interrupted)
        closeJournal();
    if (isEnding())
        return;
    if (!reason.isEmpty()) {
        // Not silent: the next start would be refused for the same reason.
        platform::msgBox(this,
                         QStringLiteral("配信記録ファイルを読み込めませんでした。\nファイル: %1\n"
                                        "理由: %2")
                             .arg(journal::Journal::pathIn(m_appDir), reason),
                         MsgIcon::Critical);
        return;
    }
    if (!interrupted)
        return;
    // A run another window is sending is not interrupted; that window goes on with it.
    m_runLock = journal::RunLock::take(m_appDir, interrupted->id, nullptr);
    if (!m_runLock) {
        closeJournal();
        return;
    }
    const MsgAnswer answer = platform::msgBox(this, journal::resumeQuestion(*interrupted),
                                              MsgIcon::Question, MsgButtons::YesNo);
    if (isEnding())
        return;
    m_journalRun = interrupted->id;
    if (answer != MsgAnswer::Yes) {
        endJournalRun(journal::RunState::Abandoned);
        return;
    }
    QString changed;
    onJournalThread([&] { changed = journal::changedFiles(interrupted->message); });
    if (isEnding())
        return;
    if (!changed.isEmpty()) {
        resumeRefused(changed);
        return;
    }
    m_resume = std::move(interrupted);
    fillFromJournal(m_resume->message);
}

void WriteForm::resumeRefused(const QString& changed)
{
    platform::msgBox(this,
                     QStringLiteral("前回の配信の後で宛先リストまたは添付ファイルが変更されたため、"
                                    "続きから配信できません。\n%1\n送信ボタンで新しい配信として"
                                    "送信できます。")
                         .arg(changed),
                     MsgIcon::Exclamation);
    if (isEnding())
        return;
    m_resume.reset();
    endJournalRun(journal::RunState::Abandoned);
}

void WriteForm::fillFromJournal(const journal::RunMessage& message)
{
    ToText->setText(message.list.path);
    SubjectText->setText(message.subject);
    txtFrom->setText(message.senderName);
    QStringList paths;
    for (const journal::FileStamp& file : message.attachments)
        paths.append(file.path);
    AttachText->setText(paths.join(QLatin1Char(',')));
    // The journal keeps the body as sent, CR LF after every line; the box keeps plain breaks.
    QString body = message.body;
    body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    BodyText->setPlainText(body);
    Timer1->setInterval(message.intervalMs);
    txtTimerTime->setText(QString::number(message.intervalMs));
}

bool WriteForm::fieldsMatchJournal(const journal::RunMessage& message) const
{
    QStringList paths;
    for (const journal::FileStamp& file : message.attachments)
        paths.append(file.path);
    return compose::Trim(ToText->text()) == message.list.path &&
           SubjectText->text() == message.subject && txtFrom->text() == message.senderName &&
           bodyText() == message.body &&
           transport::splitAttachmentList(AttachText->text()) == paths;
}

bool WriteForm::beginResumedRun()
{
    const journal::RunMessage& message = m_resume->message;
    // Another run's message would go to the rest of this run's list: the fields are put back.
    if (!fieldsMatchJournal(message)) {
        fillFromJournal(message);
        platform::msgBox(this,
                         QStringLiteral("続きの配信では宛先リスト・件名・送信者・本文・添付ファイル"
                                        "を変更できません。前回の配信の内容に戻しました。"),
                         MsgIcon::Exclamation);
        return false;
    }
    QString changed;
    QString reason;
    std::optional<QList<journal::MailRow>> settled;
    std::optional<QList<journal::MailRow>> rows;
    onJournalThread([&] {
        changed = journal::changedFiles(message);
        if (!changed.isEmpty())
            return;
        settled = m_journal->settleInFlight(m_journalRun, &reason);
        if (settled)
            rows = m_journal->mailRows(m_journalRun, &reason);
    });
    if (isEnding())
        return false;
    if (!changed.isEmpty()) {
        resumeRefused(changed);
        return false;
    }
    if (!rows) {
        platform::msgBox(this, journalRefusal(m_journal->path(), reason), MsgIcon::Critical);
        return false;
    }
    // Mails that may have arrived are never sent again; the error log says which.
    for (const journal::MailRow& row : *settled) {
        const LogAppend logged = appendErrorLogLine(kInFlightText, row.address);
        if (!logged.written) {
            logWriteFailed(logged, false);
            return false;
        }
    }
    const journal::ResumePlan plan = journal::planResume(*rows);
    for (const QString& address : plan.reached)
        m_bulk->noteSent(address);
    run.SendCount = plan.sendCount;
    run.ErrCount = plan.errCount;
    run.SkipCount = plan.skipCount;
    lblSndRec->setText(QString::number(run.SendCount));
    lblErrCnt->setText(QString::number(run.ErrCount));
    m_titleOffset = plan.done - (run.SendCount + run.SkipCount);
    m_runRows = rows->size();
    m_resumeQueue = plan.toSend;
    m_resumeNext = 0;
    m_resuming = true;
    m_heldRow.reset();
    Timer1->setInterval(message.intervalMs);
    m_resume.reset();
    return true;
}

std::optional<journal::MailRow> WriteForm::nextRecipient()
{
    if (m_heldRow) {
        m_lastRead = std::exchange(m_heldRow, std::nullopt);
        return m_lastRead;
    }
    m_lastRead.reset();
    if (m_resuming) {
        if (m_resumeNext < m_resumeQueue.size())
            m_lastRead = m_resumeQueue.at(m_resumeNext++);
    } else if (m_merge) {
        // The address as a bare list's line is taken: the program's trimming, for the same
        // journal rows and the same suppression keys.
        if (const std::optional<merge::Row> row = m_merge->rows->next())
            m_lastRead = journal::MailRow{m_nextSeq++, compose::Trim(row->fields.constFirst()),
                                          journal::MailState::Pending, row->line};
    } else if (const std::optional<QString> address = run.List->readAddress()) {
        m_lastRead = journal::MailRow{m_nextSeq++, *address, journal::MailState::Pending};
    }
    return m_lastRead;
}

bool WriteForm::noRecipientLeft()
{
    if (m_heldRow || (m_pacer && m_pacer->heldCount() > 0))
        return false;
    if (m_resuming)
        return m_resumeNext >= m_resumeQueue.size();
    return m_merge ? m_merge->rows->noneLeft() : run.List->noAddressLeft();
}

void WriteForm::journalWriteFailed(const QString& reason, bool paused)
{
    const QString pause = paused ? QStringLiteral("配信を一時停止します。") : QString();
    platform::msgBox(
        this,
        QStringLiteral("配信記録ファイルに書き込めませんでした。%1\nファイル: %2\n"
                       "理由: %3")
            .arg(pause, m_journal ? m_journal->path() : journal::Journal::pathIn(m_appDir), reason),
        MsgIcon::Critical);
}

void WriteForm::endJournalRun(journal::RunState state)
{
    QString reason;
    bool ended = true;
    const QDateTime now = platform::clock().now();
    const qint64 id = m_journalRun;
    if (m_journal && id != 0)
        onJournalThread([&] { ended = m_journal->endRun(id, state, now, &reason); });
    closeJournal();
    m_runLock.reset();
    m_journalRun = 0;
    m_resuming = false;
    // A run whose end cannot be written stays 'running', and the next start-up asks about it:
    // the journal errs toward a question, never toward a lost run.
    if (!ended && !m_unloaded)
        journalWriteFailed(reason, false);
}
