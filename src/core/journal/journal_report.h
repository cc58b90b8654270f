#pragma once

#include "core/journal/journal.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>
#include <optional>

// Reading the delivery journal for the results window: the runs, and for one run its counts,
// its mails per minute, its busiest domains and its failed mails. Queries only: the journal is
// opened read-only, so that looking at it never creates the file nor holds a write lock while a
// run records into it. Everything that grows with the list is aggregated by SQLite (GROUP BY);
// only the rows that are shown one by one (the failed mails) come back row by row.
namespace journal {

// The states index the counts; Skipped is the last of them.
inline constexpr int kMailStateCount = static_cast<int>(MailState::Skipped) + 1;

// The operator's word for it, as the window and the CSV file show it.
QString mailStateLabel(MailState state);
// A stored time ("yyyy-MM-ddTHH:mm:ss") as the operator reads it: "yyyy/MM/dd HH:mm", with
// ":ss" when seconds; anything else as it stands.
QString displayTime(const QString& stored, bool seconds);
// The operator's word for a run's state ("finished" -> "完了"); an unknown word as it stands.
QString runStateLabel(const QString& word);

struct StateCounts
{
    std::array<qint64, kMailStateCount> counts{};
    qint64 of(MailState state) const { return counts[static_cast<int>(state)]; }
    qint64& operator[](MailState state) { return counts[static_cast<int>(state)]; }
    // Refused, deferred and uncertain: the mails the chart stacks over the sent ones.
    qint64 failed() const;
    bool operator==(const StateCounts&) const = default;
};

struct RunRow
{
    qint64 id = 0;
    QString started; // as stored, "yyyy-MM-ddTHH:mm:ss" local time
    QString ended;   // empty while running or after a crash
    QString subject;
    QString state;
    qint64 total = 0;
    StateCounts counts;
};

// The mails whose outcome fell in one minute. minute counts from the first minute of the run
// that has any outcome, so that minutes without one are gaps on the chart.
struct MinuteCount
{
    qint64 minute = 0;
    QDateTime start;
    qint64 sent = 0;
    qint64 failed = 0; // refused + deferred + uncertain
    bool operator==(const MinuteCount&) const = default;
};

struct DomainCount
{
    QString domain; // lower case; empty for an address without "@"
    qint64 mails = 0;
    qint64 sent = 0;
    qint64 refused = 0;
    qint64 deferred = 0;
    bool operator==(const DomainCount&) const = default;
};

struct MailOutcome
{
    qint64 line = 0;
    QString address;
    MailState state = MailState::Pending;
    QString time; // as stored; empty when the mail has none yet
    QString reply;
};

class JournalReport
{
public:
    // journal/journal.sqlite in the application folder.
    static QString pathIn(const QString& appDir);

    enum class OpenState { Opened, Missing, Failed };
    // Opens the journal read-only. Missing: there is no journal yet (no run was ever recorded).
    // Failed: it is there but cannot be read as a journal of this program; *error says why.
    static std::unique_ptr<JournalReport> open(const QString& path, OpenState* state,
                                               QString* error);
    ~JournalReport();
    JournalReport(const JournalReport&) = delete;
    JournalReport& operator=(const JournalReport&) = delete;

    // Every query gives nullopt (false) when SQLite failed or the journal holds what this
    // program never writes (an unknown state); *error says which.

    // The runs, newest first, each with the counts of its mails' states.
    std::optional<QList<RunRow>> runs(QString* error);
    std::optional<QList<MinuteCount>> perMinute(qint64 runId, QString* error);
    // The `limit` domains with the most mails, most first (ties by name).
    std::optional<QList<DomainCount>> topDomains(qint64 runId, int limit, QString* error);
    // The mails refused, deferred, uncertain or left sending, in list order.
    std::optional<QList<MailOutcome>> failedMails(qint64 runId, QString* error);
    // Every mail of the run in list order, one at a time; visit returns false to stop (then the
    // result is false with *error left as visit set it).
    bool forEachMail(qint64 runId, const std::function<bool(const MailOutcome&)>& visit,
                     QString* error);
    // The addresses worth another try, in list order: deferred ones, and when includeUncertain
    // also those that may have arrived (uncertain, or left sending by an interruption). Refused
    // ones never.
    std::optional<QStringList> retryAddresses(qint64 runId, bool includeUncertain, QString* error);

private:
    explicit JournalReport(QString connection);
    QString m_connection;
};

// One CSV field as RFC 4180 quotes it: in double quotes, with quotes doubled, when it holds a
// comma, a quote or a line break. A field that starts as a spreadsheet formula would ("=",
// "+", "-", "@", a tab or CR) is given a leading apostrophe first, so that a server's reply or
// a list line cannot run as a formula when the file is opened.
QString csvField(const QString& text);

// Writes the run's per-address outcomes to path as CSV in UTF-8 with a byte-order mark (which
// Japanese Excel needs to read UTF-8): a header line, then line, address, state, time, reply
// for every mail in list order; CR LF after each record. The file is replaced whole or not at
// all. False with *error (the reason) when it could not be written.
bool writeOutcomesCsv(JournalReport& report, qint64 runId, const QString& path, QString* error);

// The name of a retry list made at now: csv/再配信_yyyymmdd_hhnn.csv under appDir.
QString retryListPath(const QString& appDir, const QDateTime& now);

enum class RetryWrite { Written, Exists, Failed };
// Writes the addresses, one a line, to a new file at path: UTF-8 with a byte-order mark (the
// recipient list reader takes it as UTF-8, so an address code page 932 has no characters for
// is kept whole), CR LF after every line. An existing file is never touched (Exists). Failed:
// *error says why, and no partial file is left.
RetryWrite writeRetryList(const QString& path, const QStringList& addresses, QString* error);

} // namespace journal
