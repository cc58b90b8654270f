#pragma once

#include "core/transport/mail_transport.h"

#include <QDateTime>
#include <QList>
#include <QLockFile>
#include <QString>

#include <memory>
#include <optional>

// The delivery journal: journal/journal.sqlite in the application folder, one row per run and
// one per list address. A row becomes 'sending' on disk before its mail's first byte goes out,
// so that after a crash or a power cut every mail errs toward "maybe sent", never "not sent".
namespace journal {

enum class MailState { Pending, Sending, Sent, Refused, Deferred, Uncertain, Skipped };
enum class RunState { Running, Finished, Cancelled, Interrupted, Abandoned };

QString mailStateName(MailState state);
std::optional<MailState> mailStateFromName(const QString& name);
QString runStateName(RunState state);

// The row a mail's outcome leaves: accepted = sent; the connection lost after the content
// with no reply = uncertain; a 5xx = refused; a 4xx, a connection failure or a fault of this
// machine before any byte went out = deferred, which a resume sends again.
MailState outcomeState(const transport::SendOutcome& outcome);

// A file as the run found it; a resume compares it with the file as it is now.
struct FileStamp
{
    QString path;
    qint64 size = 0;
    QString mtime; // local time, "yyyy-MM-ddTHH:mm:ss"
    QString sha256;

    bool operator==(const FileStamp&) const = default;
};
// Reads the file whole for its hash; nullopt with *reason when it cannot be read.
std::optional<FileStamp> stampFile(const QString& path, QString* reason);
// Why the file as it is now is not the one stamped; empty when it is.
QString fileChange(const FileStamp& stamped);

// The message of a run as sent: what a resume puts back into the window.
struct RunMessage
{
    FileStamp list;
    QString subject;
    QString senderName;
    QString body;
    QList<FileStamp> attachments;
    qint64 intervalMs = 0;
};

// Stamps the list and every attachment ("a,b,c" as the window holds them).
std::optional<RunMessage> describeRun(const QString& listPath, const QString& attachments,
                                      QString* reason);

// A list address with its line in the file (1-based; blank lines count, as an editor counts
// them, so the number finds the line). A list with columns gives a row's first line and its
// first field, and no address for its header row.
struct ListAddress
{
    qint64 line = 0;
    QString address;
};
std::optional<QList<ListAddress>> readListAddresses(const QString& listPath, QString* reason);

// One address row of a run.
struct MailRow
{
    qint64 seq = 0;
    QString address;
    MailState state = MailState::Pending;
    // The address's line in the list; for a list with columns the row's first line, by which a
    // resumed run, or a mail that waited for its domain, finds the row's fields again.
    qint64 line = 0;
};

// What a resume does with a run's rows: which mails go out again, which were perhaps sent
// when the run broke off, and where the counters stand.
struct ResumePlan
{
    QList<MailRow> toSend;   // pending and deferred, in list order
    QList<MailRow> inFlight; // sending and uncertain: never sent again
    QList<QString> reached;  // addresses a mail may have reached: a repeat of one is skipped
    qint32 sendCount = 0;    // mails attempted so far
    qint32 errCount = 0;     // of them not accepted
    qint32 skipCount = 0;
    qint64 done = 0; // addresses settled for good: the caption's n
};
ResumePlan planResume(const QList<MailRow>& rows);

// A run left 'running': the program ended in the middle of it.
struct InterruptedRun
{
    qint64 id = 0;
    QDateTime started;
    qint64 total = 0;
    qint64 sent = 0;
    RunMessage message;
};

// The start-up question about an interrupted run.
QString resumeQuestion(const InterruptedRun& run);
// Why the run cannot go on: the list or an attachment is not as the run found it. One line
// per changed file, naming it; empty when all are unchanged.
QString changedFiles(const RunMessage& message);

// Marks a run as being sent by a live program: journal/run-<id>.lock, held from the run's
// start, or from the resume question, to its end. A second window started meanwhile finds the
// run 'running' and must not take it for interrupted, or both would send the rest of the list.
// The lock of a program that died (crash, kill, power cut) counts as free.
class RunLock
{
public:
    // nullptr when a live program holds the run; *reason says why otherwise.
    static std::unique_ptr<RunLock> take(const QString& appDir, qint64 run, QString* reason);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

private:
    explicit RunLock(std::unique_ptr<QLockFile> file);
    std::unique_ptr<QLockFile> m_file;
};

class Journal
{
public:
    static constexpr int kDefaultRetentionDays = 180;

    // Opens (creating when missing) appDir/journal/journal.sqlite and makes sure it can be
    // written. nullptr with *reason when it cannot: a run must not go on unrecorded.
    static std::unique_ptr<Journal> open(const QString& appDir, QString* reason);
    // As open(), but nullptr with an empty reason when there is no journal yet.
    static std::unique_ptr<Journal> openExisting(const QString& appDir, QString* reason);
    static QString pathIn(const QString& appDir);

    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    QString path() const { return m_path; }

    // Drops runs started more than retentionDays before now, never a running one.
    bool prune(const QDateTime& now, int retentionDays, QString* reason);
    // The run row and one pending row per address, in one transaction; the run's id.
    std::optional<qint64> beginRun(const RunMessage& message, const QList<ListAddress>& addresses,
                                   const QDateTime& now, QString* reason);
    // Committed and synced before the mail goes out.
    bool markSending(qint64 run, qint64 seq, const QDateTime& now, QString* reason);
    // messageId: the Message-ID the mail went out with ("<...>"), for matching its bounce.
    bool recordOutcome(qint64 run, qint64 seq, MailState state, const QString& reply,
                       const QDateTime& now, QString* reason, const QString& messageId = {});
    bool endRun(qint64 run, RunState state, const QDateTime& now, QString* reason);

    // The newest run still 'running', if any.
    std::optional<InterruptedRun> interruptedRun(QString* reason);
    std::optional<QList<MailRow>> mailRows(qint64 run, QString* reason);
    // The address of one mail of a run; nullopt when it cannot be read or has no row (*reason).
    // *line, when given, gets the mail's line in the list.
    std::optional<QString> addressOf(qint64 run, qint64 seq, QString* reason,
                                     qint64* line = nullptr);
    // Marks the in-flight rows 'uncertain' and noted; returns those not noted before, which
    // still owe their error-log line.
    std::optional<QList<MailRow>> settleInFlight(qint64 run, QString* reason);

    // --- Returned mail (journal_intake.cpp) ---

    // A mail of a run as a bounce finds it.
    struct SentMail
    {
        qint64 run = 0;
        qint64 seq = 0;
        QString address;
    };
    // The mail sent with this Message-ID; nullopt when none was (or on failure: *reason set).
    std::optional<SentMail> sentMailById(const QString& messageId, QString* reason);
    // The newest mail that went out to the address (any case); nullopt when none did.
    std::optional<SentMail> lastMailTo(const QString& address, QString* reason);
    // Whether a mailbox mail was read before: by its UIDL on the account, or by its own
    // Message-ID (the same report fetched from two accounts, or resent).
    std::optional<bool> intakeSeen(const QString& account, const QByteArray& uid,
                                   const QString& messageId, QString* reason);
    bool rememberIntake(const QString& account, const QByteArray& uid, const QString& messageId,
                        const QDateTime& now, QString* reason);
    // Counts a soft bounce of the address's mail of `run` and returns the consecutive count.
    // One run counts once; a run between the last counted one and this one that mailed the
    // address without a soft bounce being counted for it started the count afresh.
    std::optional<int> countSoftBounce(const QByteArray& addressKey, const QString& address,
                                       qint64 run, const QString& status, const QDateTime& now,
                                       QString* reason);
    bool forgetSoftBounces(const QByteArray& addressKey, QString* reason);

private:
    Journal(QString path, QString connection);
    bool exec(const QString& sql, QString* reason);

    QString m_path;
    QString m_connection;
};

} // namespace journal
