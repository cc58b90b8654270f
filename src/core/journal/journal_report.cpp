#include "core/journal/journal_report.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>

namespace journal {
namespace {

// The states the failed list shows, and the chart stacks as failed.
const QString kFailedList = QStringLiteral("('refused','deferred','uncertain','sending')");
const QString kChartFailed = QStringLiteral("('refused','deferred','uncertain')");

QString nextConnectionName()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("kez_journal_report_%1").arg(++counter);
}

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

// A prepared query of the run, or nullopt with *error when SQLite refused it.
std::optional<QSqlQuery> runQuery(const QString& connection, const QString& sql, qint64 runId,
                                  QString* error, const QVariantList& more = {})
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(sql)) {
        setError(error, query.lastError().text());
        return std::nullopt;
    }
    query.addBindValue(runId);
    for (const QVariant& value : more)
        query.addBindValue(value);
    if (!query.exec()) {
        setError(error, query.lastError().text());
        return std::nullopt;
    }
    return query;
}

// The query stopped early on a read error rather than at its end.
bool failedMidway(const QSqlQuery& query, QString* error)
{
    if (query.lastError().type() == QSqlError::NoError)
        return false;
    setError(error, query.lastError().text());
    return true;
}

std::optional<MailState> stateOf(const QVariant& value, QString* error)
{
    const QString word = value.toString();
    std::optional<MailState> state = mailStateFromName(word);
    if (!state)
        setError(error, QStringLiteral("配信記録に不明な状態「%1」があります。").arg(word));
    return state;
}

} // namespace

QString displayTime(const QString& stored, bool seconds)
{
    // Cut and joined rather than parsed: a CSV file of 100,000 mails would spend seconds in
    // QDateTime::fromString.
    const bool wellFormed = stored.size() == 19 && stored.at(4) == QLatin1Char('-') &&
                            stored.at(7) == QLatin1Char('-') && stored.at(10) == QLatin1Char('T') &&
                            stored.at(13) == QLatin1Char(':') && stored.at(16) == QLatin1Char(':');
    if (!wellFormed)
        return stored;
    return stored.left(4) + QLatin1Char('/') + stored.mid(5, 2) + QLatin1Char('/') +
           stored.mid(8, 2) + QLatin1Char(' ') + stored.mid(11, seconds ? 8 : 5);
}

QString mailStateLabel(MailState state)
{
    switch (state) {
    case MailState::Pending: return QStringLiteral("未送信");
    case MailState::Sending: return QStringLiteral("送信中");
    case MailState::Sent: return QStringLiteral("送信済み");
    case MailState::Refused: return QStringLiteral("拒否");
    case MailState::Deferred: return QStringLiteral("一時エラー");
    case MailState::Uncertain: return QStringLiteral("結果不明");
    case MailState::Skipped: return QStringLiteral("除外");
    }
    return QString();
}

QString runStateLabel(const QString& word)
{
    if (word == QLatin1String("running"))
        return QStringLiteral("配信中");
    if (word == QLatin1String("finished"))
        return QStringLiteral("完了");
    if (word == QLatin1String("cancelled"))
        return QStringLiteral("中止");
    if (word == QLatin1String("interrupted"))
        return QStringLiteral("中断");
    if (word == QLatin1String("abandoned"))
        return QStringLiteral("再開せず");
    return word;
}

qint64 StateCounts::failed() const
{
    return of(MailState::Refused) + of(MailState::Deferred) + of(MailState::Uncertain);
}

QString JournalReport::pathIn(const QString& appDir)
{
    return QDir(appDir).filePath(QStringLiteral("journal/journal.sqlite"));
}

JournalReport::JournalReport(QString connection) : m_connection(std::move(connection)) {}

JournalReport::~JournalReport()
{
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

std::unique_ptr<JournalReport> JournalReport::open(const QString& path, OpenState* state,
                                                   QString* error)
{
    *state = OpenState::Failed;
    if (!QFileInfo::exists(path)) {
        *state = OpenState::Missing;
        return nullptr;
    }
    const QString name = nextConnectionName();
    // Owns the connection from here on: a failed check below removes it again.
    std::unique_ptr<JournalReport> report(new JournalReport(name));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        // Read-only: never creates the file, never takes a write lock. A run commits mail by
        // mail; the busy time-out rides out a commit that holds the file for a moment.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db.open()) {
            setError(error, db.lastError().text());
            return nullptr;
        }
        // SQLite reads the header only at the first statement: a file that is not a database
        // fails here.
        QSqlQuery version(db);
        if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
            setError(error, version.lastError().text());
            return nullptr;
        }
        if (version.value(0).toInt() != 1) {
            setError(error, QStringLiteral("このプログラムの配信記録の形式ではありません"
                                           "（版 %1）。")
                                .arg(version.value(0).toInt()));
            return nullptr;
        }
        QSqlQuery tables(db);
        if (!tables.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' "
                                        "AND name IN ('runs', 'mails')")) ||
            !tables.next() || tables.value(0).toInt() != 2) {
            setError(error, QStringLiteral("配信記録の表がありません。"));
            return nullptr;
        }
    }
    *state = OpenState::Opened;
    return report;
}

std::optional<QList<RunRow>> JournalReport::runs(QString* error)
{
    QList<RunRow> rows;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // One snapshot for both queries, so that the counts belong to the runs listed.
    if (!db.transaction()) {
        setError(error, db.lastError().text());
        return std::nullopt;
    }
    QSqlQuery runs(db);
    runs.setForwardOnly(true);
    if (!runs.exec(QStringLiteral("SELECT id, started, ended, subject, state, total FROM runs "
                                  "ORDER BY id DESC"))) {
        setError(error, runs.lastError().text());
        db.rollback();
        return std::nullopt;
    }
    QHash<qint64, qsizetype> index;
    while (runs.next()) {
        RunRow row;
        row.id = runs.value(0).toLongLong();
        row.started = runs.value(1).toString();
        row.ended = runs.value(2).toString();
        row.subject = runs.value(3).toString();
        row.state = runs.value(4).toString();
        row.total = runs.value(5).toLongLong();
        index.insert(row.id, rows.size());
        rows << row;
    }
    if (failedMidway(runs, error)) {
        db.rollback();
        return std::nullopt;
    }
    QSqlQuery counts(db);
    counts.setForwardOnly(true);
    bool ok = counts.exec(QStringLiteral("SELECT run_id, state, count(*) FROM mails "
                                         "GROUP BY run_id, state"));
    while (ok && counts.next()) {
        const std::optional<MailState> state = stateOf(counts.value(1), error);
        ok = state.has_value();
        const auto at = index.constFind(counts.value(0).toLongLong());
        if (ok && at != index.constEnd())
            rows[*at].counts[*state] = counts.value(2).toLongLong();
    }
    if (!ok || failedMidway(counts, error)) {
        if (counts.lastError().type() != QSqlError::NoError)
            setError(error, counts.lastError().text());
        db.rollback();
        return std::nullopt;
    }
    db.rollback();
    return rows;
}

std::optional<QList<MinuteCount>> JournalReport::perMinute(qint64 runId, QString* error)
{
    // A mail counts in the minute its outcome was recorded; "yyyy-MM-ddTHH:mm" is that minute.
    std::optional<QSqlQuery> query =
        runQuery(m_connection,
                 QStringLiteral("SELECT substr(time, 1, 16) AS m, sum(state = 'sent'), "
                                "sum(state IN %1) FROM mails WHERE run_id = ? AND time IS NOT NULL "
                                "AND (state = 'sent' OR state IN %1) GROUP BY m ORDER BY m")
                     .arg(kChartFailed),
                 runId, error);
    if (!query)
        return std::nullopt;
    QList<MinuteCount> result;
    while (query->next()) {
        const QString text = query->value(0).toString();
        const QDateTime start = QDateTime::fromString(text, QStringLiteral("yyyy-MM-ddTHH:mm"));
        if (!start.isValid()) {
            setError(error, QStringLiteral("配信記録の時刻「%1」を読めません。").arg(text));
            return std::nullopt;
        }
        MinuteCount count;
        count.start = start;
        count.minute = result.isEmpty() ? 0 : result.constFirst().start.secsTo(start) / 60;
        count.sent = query->value(1).toLongLong();
        count.failed = query->value(2).toLongLong();
        result << count;
    }
    if (failedMidway(*query, error))
        return std::nullopt;
    return result;
}

std::optional<QList<DomainCount>> JournalReport::topDomains(qint64 runId, int limit, QString* error)
{
    // The domain is what follows the last "@". Most addresses hold one "@", and the part after
    // it is taken directly; for the rest rtrim, given every other character of the address,
    // strips back to the last one. Grouped as written first and lower-cased only per group,
    // which spares lower() on every row.
    std::optional<QSqlQuery> query = runQuery(
        m_connection,
        QStringLiteral(
            "SELECT lower(d) AS ld, sum(n) AS total, sum(s), sum(r), sum(f) FROM (SELECT CASE "
            "WHEN at = 0 THEN '' WHEN instr(substr(address, at + 1), '@') = 0 "
            "THEN substr(address, at + 1) "
            "ELSE substr(address, length(rtrim(address, replace(address, '@', ''))) + 1) END AS d, "
            "count(*) AS n, sum(state = 'sent') AS s, sum(state = 'refused') AS r, "
            "sum(state = 'deferred') AS f FROM (SELECT address, state, instr(address, '@') AS at "
            "FROM mails WHERE run_id = ?) GROUP BY d) GROUP BY ld ORDER BY total DESC, ld LIMIT ?"),
        runId, error, {limit});
    if (!query)
        return std::nullopt;
    QList<DomainCount> result;
    while (query->next()) {
        result << DomainCount{query->value(0).toString(), query->value(1).toLongLong(),
                              query->value(2).toLongLong(), query->value(3).toLongLong(),
                              query->value(4).toLongLong()};
    }
    if (failedMidway(*query, error))
        return std::nullopt;
    return result;
}

bool JournalReport::forEachMail(qint64 runId, const std::function<bool(const MailOutcome&)>& visit,
                                QString* error)
{
    std::optional<QSqlQuery> query = runQuery(
        m_connection,
        QStringLiteral("SELECT line, address, state, time, reply FROM mails WHERE run_id = ? "
                       "ORDER BY seq"),
        runId, error);
    if (!query)
        return false;
    while (query->next()) {
        const std::optional<MailState> state = stateOf(query->value(2), error);
        if (!state)
            return false;
        if (!visit({query->value(0).toLongLong(), query->value(1).toString(), *state,
                    query->value(3).toString(), query->value(4).toString()}))
            return false;
    }
    return !failedMidway(*query, error);
}

std::optional<QList<MailOutcome>> JournalReport::failedMails(qint64 runId, QString* error)
{
    std::optional<QSqlQuery> query = runQuery(
        m_connection,
        QStringLiteral("SELECT line, address, state, time, reply FROM mails WHERE run_id = ? "
                       "AND state IN %1 ORDER BY seq")
            .arg(kFailedList),
        runId, error);
    if (!query)
        return std::nullopt;
    QList<MailOutcome> result;
    while (query->next()) {
        const std::optional<MailState> state = stateOf(query->value(2), error);
        if (!state)
            return std::nullopt;
        result << MailOutcome{query->value(0).toLongLong(), query->value(1).toString(), *state,
                              query->value(3).toString(), query->value(4).toString()};
    }
    if (failedMidway(*query, error))
        return std::nullopt;
    return result;
}

std::optional<QStringList> JournalReport::retryAddresses(qint64 runId, bool includeUncertain,
                                                         QString* error)
{
    // A mail left sending by an interruption may have arrived just as an uncertain one may.
    const QString states = includeUncertain ? QStringLiteral("('deferred','uncertain','sending')")
                                            : QStringLiteral("('deferred')");
    std::optional<QSqlQuery> query = runQuery(
        m_connection,
        QStringLiteral("SELECT address FROM mails WHERE run_id = ? AND state IN %1 ORDER BY seq")
            .arg(states),
        runId, error);
    if (!query)
        return std::nullopt;
    QStringList result;
    while (query->next())
        result << query->value(0).toString();
    if (failedMidway(*query, error))
        return std::nullopt;
    return result;
}

QString csvField(const QString& text)
{
    QString field = text;
    static const QString kFormulaStarts = QStringLiteral("=+-@\t\r");
    if (!field.isEmpty() && kFormulaStarts.contains(field.front()))
        field.prepend(QLatin1Char('\''));
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) &&
        !field.contains(QLatin1Char('\r')) && !field.contains(QLatin1Char('\n')))
        return field;
    field.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + field + QLatin1Char('"');
}

bool writeOutcomesCsv(JournalReport& report, qint64 runId, const QString& path, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(error, file.errorString());
        return false;
    }
    auto record = [&file](const QStringList& fields) {
        QStringList quoted;
        for (const QString& field : fields)
            quoted << csvField(field);
        file.write((quoted.join(QLatin1Char(',')) + QStringLiteral("\r\n")).toUtf8());
    };
    file.write("\xEF\xBB\xBF");
    record({QStringLiteral("行"), QStringLiteral("アドレス"), QStringLiteral("結果"),
            QStringLiteral("時刻"), QStringLiteral("サーバーの応答")});
    const bool read = report.forEachMail(
        runId,
        [&](const MailOutcome& mail) {
            record({QString::number(mail.line), mail.address, mailStateLabel(mail.state),
                    displayTime(mail.time, true), mail.reply});
            return file.error() == QFileDevice::NoError;
        },
        error);
    if (file.error() != QFileDevice::NoError) {
        setError(error, file.errorString());
        file.cancelWriting();
        return false;
    }
    if (!read) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        setError(error, file.errorString());
        return false;
    }
    return true;
}

QString retryListPath(const QString& appDir, const QDateTime& now)
{
    return QDir(appDir).filePath(
        QStringLiteral("csv/再配信_%1.csv").arg(now.toString(QStringLiteral("yyyyMMdd_HHmm"))));
}

RetryWrite writeRetryList(const QString& path, const QStringList& addresses, QString* error)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    // NewOnly: the system creates the file for us alone or refuses, so an existing list of
    // the same name is never overwritten, not even by a race.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        if (QFileInfo::exists(path))
            return RetryWrite::Exists;
        setError(error, file.errorString());
        return RetryWrite::Failed;
    }
    QByteArray bytes("\xEF\xBB\xBF");
    for (const QString& address : addresses)
        bytes += address.toUtf8() + "\r\n";
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        setError(error, file.errorString());
        file.close();
        file.remove();
        return RetryWrite::Failed;
    }
    file.close();
    return RetryWrite::Written;
}

} // namespace journal
