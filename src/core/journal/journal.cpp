#include "core/journal/journal.h"

#include "core/delivery/recipient_list.h"
#include "core/merge/merge_fields.h"
#include "core/text/trim.h"
#include "core/transport/message_composer.h"

#include <QAtomicInteger>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace journal {

namespace {

constexpr int kSchemaVersion = 2;
const char* const kTimeFormat = "yyyy-MM-dd'T'HH:mm:ss";

struct StateName
{
    MailState state;
    const char* name;
};
constexpr StateName kMailStates[] = {
    {MailState::Pending, "pending"},   {MailState::Sending, "sending"},
    {MailState::Sent, "sent"},         {MailState::Refused, "refused"},
    {MailState::Deferred, "deferred"}, {MailState::Uncertain, "uncertain"},
    {MailState::Skipped, "skipped"},
};

QString stamp(const QDateTime& time)
{
    return time.toLocalTime().toString(QLatin1String(kTimeFormat));
}

// A null QString binds as SQL NULL; an empty body or sender name is still text.
QVariant text(const QString& value)
{
    return value.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(value);
}

QString sqlFailure(const QSqlError& error)
{
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return text.trimmed();
}

// The schema the results window reads too. Columns may be added, never renamed.
const char* const kSchema[] = {
    "CREATE TABLE runs(id INTEGER PRIMARY KEY, started TEXT NOT NULL, ended TEXT, "
    "list_path TEXT NOT NULL, list_size INTEGER NOT NULL, list_mtime TEXT NOT NULL, "
    "subject TEXT NOT NULL, sender_name TEXT NOT NULL, body TEXT NOT NULL, "
    "interval_ms INTEGER NOT NULL, state TEXT NOT NULL, total INTEGER NOT NULL, "
    "list_sha256 TEXT NOT NULL DEFAULT '')",
    "CREATE TABLE attachments(run_id INTEGER NOT NULL, position INTEGER NOT NULL, "
    "path TEXT NOT NULL, size INTEGER NOT NULL, sha256 TEXT NOT NULL, "
    "mtime TEXT NOT NULL DEFAULT '', PRIMARY KEY(run_id, position))",
    "CREATE TABLE mails(run_id INTEGER NOT NULL, seq INTEGER NOT NULL, line INTEGER NOT NULL, "
    "address TEXT NOT NULL, state TEXT NOT NULL, time TEXT, reply TEXT, "
    "noted INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(run_id, seq)) WITHOUT ROWID",
    "CREATE INDEX runs_state ON runs(state)",
    "PRAGMA user_version = 1",
};

// What the intake of returned mail needs: each mail's Message-ID and a look-up by address, to
// match a bounce to the mail it returns; the mailbox's mails already read; the soft bounces
// counted so far. A journal of the first version gets them on its first open.
const char* const kSchema2[] = {
    "ALTER TABLE mails ADD COLUMN message_id TEXT",
    "CREATE INDEX mails_message_id ON mails(message_id) WHERE message_id IS NOT NULL",
    "CREATE INDEX mails_address ON mails(address COLLATE NOCASE)",
    "CREATE TABLE intake_seen(account TEXT NOT NULL, uid TEXT NOT NULL, seen TEXT NOT NULL, "
    "PRIMARY KEY(account, uid)) WITHOUT ROWID",
    "CREATE TABLE intake_mails(message_id TEXT PRIMARY KEY, seen TEXT NOT NULL) WITHOUT ROWID",
    "CREATE TABLE soft_bounces(address_key TEXT PRIMARY KEY, count INTEGER NOT NULL, "
    "last_run INTEGER NOT NULL, last_status TEXT NOT NULL, updated TEXT NOT NULL) WITHOUT ROWID",
    "PRAGMA user_version = 2",
};

} // namespace

QString mailStateName(MailState state)
{
    for (const StateName& entry : kMailStates)
        if (entry.state == state)
            return QLatin1String(entry.name);
    return {};
}

std::optional<MailState> mailStateFromName(const QString& name)
{
    for (const StateName& entry : kMailStates)
        if (name == QLatin1String(entry.name))
            return entry.state;
    return std::nullopt;
}

QString runStateName(RunState state)
{
    switch (state) {
    case RunState::Running: return QStringLiteral("running");
    case RunState::Finished: return QStringLiteral("finished");
    case RunState::Cancelled: return QStringLiteral("cancelled");
    case RunState::Interrupted: return QStringLiteral("interrupted");
    case RunState::Abandoned: return QStringLiteral("abandoned");
    }
    return {};
}

MailState outcomeState(const transport::SendOutcome& outcome)
{
    if (outcome.ok)
        return MailState::Sent;
    if (outcome.mayHaveArrived)
        return MailState::Uncertain;
    if (outcome.failure == transport::FailureClass::Transaction && outcome.replyCode >= 500 &&
        outcome.replyCode < 600)
        return MailState::Refused;
    // A 4xx, no usable session, or a fault here before any byte left: nothing reached a
    // mailbox, so the mail may go out again.
    return MailState::Deferred;
}

std::optional<FileStamp> stampFile(const QString& path, QString* reason)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = file.errorString();
        return std::nullopt;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        *reason = file.errorString();
        return std::nullopt;
    }
    const QFileInfo info(path);
    FileStamp out;
    out.path = path;
    out.size = info.size();
    out.mtime = stamp(info.lastModified());
    out.sha256 = QString::fromLatin1(hash.result().toHex());
    return out;
}

QString fileChange(const FileStamp& stamped)
{
    QString reason;
    const std::optional<FileStamp> now = stampFile(stamped.path, &reason);
    if (!now && stamped.size < 0)
        return {}; // unreadable then, unreadable still: the mails fail as they did
    if (!now)
        return QStringLiteral("読み込めません: %1").arg(reason);
    if (stamped.size < 0)
        return QStringLiteral("前回は読み込めなかったファイルです");
    if (now->size != stamped.size)
        return QStringLiteral("サイズが変わりました (%1 → %2 バイト)")
            .arg(stamped.size)
            .arg(now->size);
    if (now->mtime != stamped.mtime)
        return QStringLiteral("更新日時が変わりました (%1 → %2)").arg(stamped.mtime, now->mtime);
    if (now->sha256 != stamped.sha256)
        return QStringLiteral("内容が変わりました");
    return {};
}

std::optional<RunMessage> describeRun(const QString& listPath, const QString& attachments,
                                      QString* reason)
{
    RunMessage message;
    QString why;
    std::optional<FileStamp> list = stampFile(listPath, &why);
    if (!list) {
        *reason = QStringLiteral("%1: %2").arg(listPath, why);
        return std::nullopt;
    }
    message.list = *list;
    for (const QString& path : transport::splitAttachmentList(attachments)) {
        // An attachment that cannot be read fails each mail as it always has, with its reason
        // in the error log; the journal notes it as unreadable (size -1).
        std::optional<FileStamp> attachment = stampFile(path, &why);
        message.attachments.append(attachment ? *attachment : FileStamp{path, -1, {}, {}});
    }
    return message;
}

std::optional<QList<ListAddress>> readListAddresses(const QString& listPath, QString* reason)
{
    const std::optional<bool> columns = merge::holdsColumns(listPath, reason);
    if (!columns)
        return std::nullopt;
    if (*columns) {
        // The run reads such a list with merge::RunRows: the same reader, so again the rows
        // and the run's addresses agree one for one.
        std::unique_ptr<merge::ListReader> rows = merge::ListReader::open(listPath, reason);
        if (!rows)
            return std::nullopt;
        QList<ListAddress> out;
        while (std::optional<merge::Row> row = rows->next())
            out.append({row->line, compose::Trim(row->fields.constFirst())});
        if (rows->hasError()) {
            *reason = rows->errorString();
            return std::nullopt;
        }
        return out;
    }
    std::unique_ptr<delivery::RecipientList> list = delivery::RecipientList::open(listPath, reason);
    if (!list)
        return std::nullopt;
    QList<ListAddress> out;
    qint64 line = 0;
    while (std::optional<QString> text = list->readLine()) {
        ++line;
        // The run reads the list with RecipientList::readAddress: the same trimming, so the
        // rows and the run's addresses agree one for one.
        if (delivery::RecipientList::isAddressLine(*text))
            out.append({line, compose::Trim(*text)});
    }
    if (list->hasError()) {
        *reason = list->errorString();
        return std::nullopt;
    }
    return out;
}

ResumePlan planResume(const QList<MailRow>& rows)
{
    ResumePlan plan;
    for (const MailRow& row : rows) {
        switch (row.state) {
        case MailState::Pending: plan.toSend.append(row); break;
        case MailState::Deferred:
            plan.toSend.append(row);
            ++plan.sendCount;
            ++plan.errCount;
            break;
        case MailState::Sending:
        case MailState::Uncertain:
            plan.inFlight.append(row);
            plan.reached.append(row.address);
            ++plan.sendCount;
            ++plan.errCount;
            break;
        case MailState::Sent:
            plan.reached.append(row.address);
            ++plan.sendCount;
            break;
        case MailState::Refused:
            ++plan.sendCount;
            ++plan.errCount;
            break;
        case MailState::Skipped: ++plan.skipCount; break;
        }
    }
    plan.done = rows.size() - plan.toSend.size();
    return plan;
}

QString resumeQuestion(const InterruptedRun& run)
{
    return QStringLiteral("前回の配信が途中で終わっています。\n開始：%1　送信済み：%2件／全 %3件\n"
                          "続きから配信しますか？")
        .arg(run.started.toString(QStringLiteral("yyyy/MM/dd HH:mm")))
        .arg(run.sent)
        .arg(run.total);
}

QString changedFiles(const RunMessage& message)
{
    QStringList lines;
    QList<FileStamp> files{message.list};
    files.append(message.attachments);
    for (const FileStamp& file : files) {
        const QString change = fileChange(file);
        if (!change.isEmpty())
            lines.append(QStringLiteral("%1: %2").arg(file.path, change));
    }
    return lines.join(QLatin1Char('\n'));
}

Journal::Journal(QString path, QString connection)
    : m_path(std::move(path)), m_connection(std::move(connection))
{
}

Journal::~Journal()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

QString Journal::pathIn(const QString& appDir)
{
    return appDir + QStringLiteral("/journal/journal.sqlite");
}

std::unique_ptr<Journal> Journal::openExisting(const QString& appDir, QString* reason)
{
    reason->clear();
    if (!QFileInfo::exists(pathIn(appDir)))
        return nullptr;
    return open(appDir, reason);
}

bool Journal::exec(const QString& sql, QString* reason)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(sql))
        return true;
    *reason = sqlFailure(query.lastError());
    return false;
}

std::unique_ptr<Journal> Journal::open(const QString& appDir, QString* reason)
{
    const QString path = pathIn(appDir);
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        *reason = QStringLiteral("フォルダーを作成できません: %1").arg(info.absolutePath());
        return nullptr;
    }
    if (info.exists() && !info.isFile()) {
        *reason = QStringLiteral("ファイルではありません");
        return nullptr;
    }
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        *reason = QStringLiteral("Qt SQL の SQLite ドライバー (libqt6sql6-sqlite) がありません");
        return nullptr;
    }

    // Tests open several folders at once, so every journal has a connection of its own.
    static QAtomicInteger<quint64> serial;
    const QString connection = QStringLiteral("kez_journal_%1").arg(serial.fetchAndAddRelaxed(1));
    std::unique_ptr<Journal> journal(new Journal(path, connection));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        // Another program holding the file gets a quarter of a second, not the window.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=250"));
        if (!db.open()) {
            *reason = sqlFailure(db.lastError());
            return nullptr;
        }
    }

    // Write-ahead log: a commit appends to one file and syncs only that file, where the
    // rollback journal syncs twice. The connection runs with synchronous=NORMAL, which makes
    // a commit safe against a killed process but leaves the sync to the next checkpoint;
    // markSending alone switches to FULL for its commit. That sync also carries every
    // NORMAL commit before it (the log is written in order), so a mail costs one sync: the
    // 'sending' row is on disk before the mail leaves, and an outcome a power cut loses
    // leaves the row at 'sending', read as "maybe sent".
    QSqlQuery mode(QSqlDatabase::database(connection, false));
    if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !mode.next()) {
        *reason = sqlFailure(mode.lastError());
        return nullptr;
    }
    if (mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        *reason = QStringLiteral("ログ先行書き込み (WAL) にできません (%1)")
                      .arg(mode.value(0).toString());
        return nullptr;
    }
    mode.finish();
    if (!journal->exec(QStringLiteral("PRAGMA synchronous=NORMAL"), reason))
        return nullptr;

    QSqlQuery version(QSqlDatabase::database(connection, false));
    if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
        *reason = sqlFailure(version.lastError());
        return nullptr;
    }
    const int found = version.value(0).toInt();
    version.finish();
    if (found > kSchemaVersion) {
        *reason = QStringLiteral("このプログラムより新しい版の記録です (版 %1)").arg(found);
        return nullptr;
    }
    // Taking the write lock proves the file can be written (a read-only file or another
    // writer holding it fails here, before any run starts).
    if (!journal->exec(QStringLiteral("BEGIN IMMEDIATE"), reason))
        return nullptr;
    auto apply = [&](const auto& statements) {
        for (const char* sql : statements) {
            if (!journal->exec(QLatin1String(sql), reason)) {
                QString ignored;
                journal->exec(QStringLiteral("ROLLBACK"), &ignored);
                return false;
            }
        }
        return true;
    };
    if (found < 1 && !apply(kSchema))
        return nullptr;
    if (found < 2 && !apply(kSchema2))
        return nullptr;
    if (!journal->exec(QStringLiteral("COMMIT"), reason)) {
        QString ignored;
        journal->exec(QStringLiteral("ROLLBACK"), &ignored);
        return nullptr;
    }
    return journal;
}

bool Journal::prune(const QDateTime& now, int retentionDays, QString* reason)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const QString cutoff = stamp(now.addDays(-retentionDays));
    if (!db.transaction()) {
        *reason = sqlFailure(db.lastError());
        return false;
    }
    // The stamps are fixed-width local times, so text order is time order.
    const QString old =
        QStringLiteral("SELECT id FROM runs WHERE started < ? AND state <> 'running'");
    for (const QString& sql :
         {QStringLiteral("DELETE FROM mails WHERE run_id IN (%1)").arg(old),
          QStringLiteral("DELETE FROM attachments WHERE run_id IN (%1)").arg(old),
          QStringLiteral("DELETE FROM runs WHERE id IN (%1)").arg(old)}) {
        QSqlQuery query(db);
        query.prepare(sql);
        query.addBindValue(cutoff);
        if (!query.exec()) {
            *reason = sqlFailure(query.lastError());
            db.rollback();
            return false;
        }
    }
    if (!db.commit()) {
        *reason = sqlFailure(db.lastError());
        db.rollback();
        return false;
    }
    return true;
}

std::optional<qint64> Journal::beginRun(const RunMessage& message,
                                        const QList<ListAddress>& addresses, const QDateTime& now,
                                        QString* reason)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    // The start is synced whole: its rows are the ground every later 'sending' stands on.
    if (!exec(QStringLiteral("PRAGMA synchronous=FULL"), reason))
        return std::nullopt;
    auto fail = [&](const QSqlQuery& query) -> std::optional<qint64> {
        *reason = sqlFailure(query.lastError());
        db.rollback();
        QString ignored;
        exec(QStringLiteral("PRAGMA synchronous=NORMAL"), &ignored);
        return std::nullopt;
    };
    if (!db.transaction()) {
        *reason = sqlFailure(db.lastError());
        return std::nullopt;
    }
    QSqlQuery run(db);
    run.prepare(QStringLiteral(
        "INSERT INTO runs(started, list_path, list_size, list_mtime, list_sha256, subject, "
        "sender_name, body, interval_ms, state, total) VALUES(?,?,?,?,?,?,?,?,?,'running',?)"));
    for (const QVariant& value :
         {QVariant(stamp(now)), text(message.list.path), QVariant(message.list.size),
          text(message.list.mtime), text(message.list.sha256), text(message.subject),
          text(message.senderName), text(message.body), QVariant(message.intervalMs),
          QVariant(qint64(addresses.size()))})
        run.addBindValue(value);
    if (!run.exec())
        return fail(run);
    const qint64 id = run.lastInsertId().toLongLong();

    QSqlQuery attachment(db);
    attachment.prepare(QStringLiteral("INSERT INTO attachments(run_id, position, path, size, "
                                      "sha256, mtime) VALUES(?,?,?,?,?,?)"));
    for (qsizetype i = 0; i < message.attachments.size(); ++i) {
        const FileStamp& file = message.attachments[i];
        for (const QVariant& value : {QVariant(id), QVariant(qint64(i)), text(file.path),
                                      QVariant(file.size), text(file.sha256), text(file.mtime)})
            attachment.addBindValue(value);
        if (!attachment.exec())
            return fail(attachment);
    }

    QSqlQuery mail(db);
    mail.prepare(QStringLiteral(
        "INSERT INTO mails(run_id, seq, line, address, state) VALUES(?,?,?,?,'pending')"));
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        mail.bindValue(0, id);
        mail.bindValue(1, qint64(i));
        mail.bindValue(2, addresses[i].line);
        mail.bindValue(3, text(addresses[i].address));
        if (!mail.exec())
            return fail(mail);
    }
    if (!db.commit()) {
        *reason = sqlFailure(db.lastError());
        db.rollback();
        return std::nullopt;
    }
    if (!exec(QStringLiteral("PRAGMA synchronous=NORMAL"), reason))
        return std::nullopt;
    return id;
}

bool Journal::markSending(qint64 run, qint64 seq, const QDateTime& now, QString* reason)
{
    if (!exec(QStringLiteral("PRAGMA synchronous=FULL"), reason))
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral(
        "UPDATE mails SET state='sending', time=? WHERE run_id=? AND seq=? AND state IN "
        "('pending','deferred')"));
    query.addBindValue(stamp(now));
    query.addBindValue(run);
    query.addBindValue(seq);
    bool ok = query.exec();
    QString failure;
    if (!ok) {
        failure = sqlFailure(query.lastError());
    } else if (query.numRowsAffected() != 1) {
        // Never a second 'sending': a row already past 'pending' or 'deferred' may have gone.
        ok = false;
        failure = QStringLiteral("宛先の記録 (%1番目) が見つからないか、送信済みです").arg(seq + 1);
    }
    QString normal;
    if (!exec(QStringLiteral("PRAGMA synchronous=NORMAL"), &normal) && ok) {
        ok = false;
        failure = normal;
    }
    if (!ok)
        *reason = failure;
    return ok;
}

bool Journal::recordOutcome(qint64 run, qint64 seq, MailState state, const QString& reply,
                            const QDateTime& now, QString* reason, const QString& messageId)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("UPDATE mails SET state=?, time=?, reply=?, "
                                 "message_id=COALESCE(?, message_id) WHERE run_id=? AND seq=?"));
    query.addBindValue(mailStateName(state));
    query.addBindValue(stamp(now));
    query.addBindValue(reply.isEmpty() ? QVariant() : QVariant(reply));
    query.addBindValue(messageId.isEmpty() ? QVariant(QMetaType(QMetaType::QString))
                                           : QVariant(messageId));
    query.addBindValue(run);
    query.addBindValue(seq);
    if (!query.exec()) {
        *reason = sqlFailure(query.lastError());
        return false;
    }
    if (query.numRowsAffected() != 1) {
        *reason = QStringLiteral("宛先の記録 (%1番目) が見つかりません").arg(seq + 1);
        return false;
    }
    return true;
}

bool Journal::endRun(qint64 run, RunState state, const QDateTime& now, QString* reason)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("UPDATE runs SET state=?, ended=? WHERE id=?"));
    query.addBindValue(runStateName(state));
    query.addBindValue(stamp(now));
    query.addBindValue(run);
    if (!query.exec()) {
        *reason = sqlFailure(query.lastError());
        return false;
    }
    return true;
}

std::optional<InterruptedRun> Journal::interruptedRun(QString* reason)
{
    reason->clear();
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral(
            "SELECT id, started, total, list_path, list_size, list_mtime, list_sha256, subject, "
            "sender_name, body, interval_ms FROM runs WHERE state='running' ORDER BY id DESC "
            "LIMIT 1"))) {
        *reason = sqlFailure(query.lastError());
        return std::nullopt;
    }
    if (!query.next())
        return std::nullopt;
    InterruptedRun out;
    out.id = query.value(0).toLongLong();
    out.started = QDateTime::fromString(query.value(1).toString(), QLatin1String(kTimeFormat));
    out.total = query.value(2).toLongLong();
    RunMessage& m = out.message;
    m.list = {query.value(3).toString(), query.value(4).toLongLong(), query.value(5).toString(),
              query.value(6).toString()};
    m.subject = query.value(7).toString();
    m.senderName = query.value(8).toString();
    m.body = query.value(9).toString();
    m.intervalMs = query.value(10).toLongLong();

    QSqlQuery files(db);
    files.prepare(QStringLiteral("SELECT path, size, mtime, sha256 FROM attachments WHERE "
                                 "run_id=? ORDER BY position"));
    files.addBindValue(out.id);
    if (!files.exec()) {
        *reason = sqlFailure(files.lastError());
        return std::nullopt;
    }
    while (files.next())
        m.attachments.append({files.value(0).toString(), files.value(1).toLongLong(),
                              files.value(2).toString(), files.value(3).toString()});

    QSqlQuery sent(db);
    sent.prepare(QStringLiteral("SELECT count(*) FROM mails WHERE run_id=? AND state='sent'"));
    sent.addBindValue(out.id);
    if (!sent.exec() || !sent.next()) {
        *reason = sqlFailure(sent.lastError());
        return std::nullopt;
    }
    out.sent = sent.value(0).toLongLong();
    return out;
}

std::optional<QList<MailRow>> Journal::mailRows(qint64 run, QString* reason)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT seq, address, state, line FROM mails WHERE run_id=? ORDER BY seq"));
    query.addBindValue(run);
    if (!query.exec()) {
        *reason = sqlFailure(query.lastError());
        return std::nullopt;
    }
    QList<MailRow> rows;
    while (query.next()) {
        const QString name = query.value(2).toString();
        const std::optional<MailState> state = mailStateFromName(name);
        // A row this program did not write: resuming over it could send a mail twice.
        if (!state) {
            *reason = QStringLiteral("宛先の記録に不明な状態があります: %1").arg(name);
            return std::nullopt;
        }
        rows.append({query.value(0).toLongLong(), query.value(1).toString(), *state,
                     query.value(3).toLongLong()});
    }
    if (query.lastError().isValid()) {
        *reason = sqlFailure(query.lastError());
        return std::nullopt;
    }
    return rows;
}

std::optional<QString> Journal::addressOf(qint64 run, qint64 seq, QString* reason, qint64* line)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT address, line FROM mails WHERE run_id=? AND seq=?"));
    query.addBindValue(run);
    query.addBindValue(seq);
    if (!query.exec()) {
        *reason = sqlFailure(query.lastError());
        return std::nullopt;
    }
    if (!query.next()) {
        *reason = query.lastError().isValid()
                      ? sqlFailure(query.lastError())
                      : QStringLiteral("宛先の記録がありません（%1番目）").arg(seq + 1);
        return std::nullopt;
    }
    if (line)
        *line = query.value(1).toLongLong();
    return query.value(0).toString();
}

std::optional<QList<MailRow>> Journal::settleInFlight(qint64 run, QString* reason)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction()) {
        *reason = sqlFailure(db.lastError());
        return std::nullopt;
    }
    QSqlQuery unnoted(db);
    unnoted.prepare(QStringLiteral("SELECT seq, address, state FROM mails WHERE run_id=? AND "
                                   "state IN ('sending','uncertain') AND noted=0 ORDER BY seq"));
    unnoted.addBindValue(run);
    QList<MailRow> rows;
    if (unnoted.exec()) {
        while (unnoted.next())
            rows.append(
                {unnoted.value(0).toLongLong(), unnoted.value(1).toString(),
                 mailStateFromName(unnoted.value(2).toString()).value_or(MailState::Uncertain)});
    }
    QSqlQuery settle(db);
    settle.prepare(QStringLiteral("UPDATE mails SET state='uncertain', noted=1 WHERE run_id=? "
                                  "AND state IN ('sending','uncertain')"));
    settle.addBindValue(run);
    if (unnoted.lastError().isValid() || !settle.exec()) {
        *reason =
            sqlFailure(unnoted.lastError().isValid() ? unnoted.lastError() : settle.lastError());
        db.rollback();
        return std::nullopt;
    }
    if (!db.commit()) {
        *reason = sqlFailure(db.lastError());
        db.rollback();
        return std::nullopt;
    }
    return rows;
}

std::unique_ptr<RunLock> RunLock::take(const QString& appDir, qint64 run, QString* reason)
{
    const QString path = appDir + QStringLiteral("/journal/run-%1.lock").arg(run);
    auto file = std::make_unique<QLockFile>(path);
    // A run lasts hours or days: only a dead holder frees the lock, never its age.
    file->setStaleLockTime(0);
    if (file->tryLock(0))
        return std::unique_ptr<RunLock>(new RunLock(std::move(file)));
    if (reason) {
        *reason = file->error() == QLockFile::LockFailedError
                      ? QStringLiteral("別の KEZ-MAILER がこの配信を送信中です。")
                      : QStringLiteral("配信のロックファイルを作れません: %1")
                            .arg(QDir::toNativeSeparators(path));
    }
    return nullptr;
}

RunLock::RunLock(std::unique_ptr<QLockFile> file) : m_file(std::move(file)) {}

RunLock::~RunLock() = default;

// --- Returned mail ---------------------------------------------------------------------------

namespace {

// The mails a bounce may return: those that went out, or may have.
const char* const kWentOut = "state IN ('sent','sending','uncertain')";

std::optional<Journal::SentMail> oneMail(QSqlQuery& query, QString* reason)
{
    if (!query.exec()) {
        *reason = sqlFailure(query.lastError());
        return std::nullopt;
    }
    reason->clear();
    if (!query.next())
        return std::nullopt;
    return Journal::SentMail{query.value(0).toLongLong(), query.value(1).toLongLong(),
                             query.value(2).toString()};
}

} // namespace

std::optional<Journal::SentMail> Journal::sentMailById(const QString& messageId, QString* reason)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("SELECT run_id, seq, address FROM mails WHERE message_id=? AND %1 "
                                 "ORDER BY run_id DESC LIMIT 1")
                      .arg(QLatin1String(kWentOut)));
    query.addBindValue(messageId);
    return oneMail(query, reason);
}

std::optional<Journal::SentMail> Journal::lastMailTo(const QString& address, QString* reason)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("SELECT run_id, seq, address FROM mails WHERE address=? COLLATE "
                                 "NOCASE AND %1 ORDER BY run_id DESC, seq DESC LIMIT 1")
                      .arg(QLatin1String(kWentOut)));
    query.addBindValue(address);
    return oneMail(query, reason);
}

std::optional<bool> Journal::intakeSeen(const QString& account, const QByteArray& uid,
                                        const QString& messageId, QString* reason)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("SELECT (SELECT count(*) FROM intake_seen WHERE account=? AND "
                                 "uid=?) + (SELECT count(*) FROM intake_mails WHERE "
                                 "message_id=?)"));
    query.addBindValue(account);
    query.addBindValue(QString::fromLatin1(uid));
    query.addBindValue(messageId.isEmpty() ? QVariant(QMetaType(QMetaType::QString))
                                           : QVariant(messageId));
    if (!query.exec() || !query.next()) {
        *reason = sqlFailure(query.lastError());
        return std::nullopt;
    }
    return query.value(0).toInt() > 0;
}

bool Journal::rememberIntake(const QString& account, const QByteArray& uid,
                             const QString& messageId, const QDateTime& now, QString* reason)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.transaction()) {
        *reason = sqlFailure(db.lastError());
        return false;
    }
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT OR IGNORE INTO intake_seen(account, uid, seen) "
                                 "VALUES(?, ?, ?)"));
    query.addBindValue(account);
    query.addBindValue(QString::fromLatin1(uid));
    query.addBindValue(stamp(now));
    bool ok = query.exec();
    if (ok && !messageId.isEmpty()) {
        query.prepare(QStringLiteral("INSERT OR IGNORE INTO intake_mails(message_id, seen) "
                                     "VALUES(?, ?)"));
        query.addBindValue(messageId);
        query.addBindValue(stamp(now));
        ok = query.exec();
    }
    if (!ok || !db.commit()) {
        *reason = sqlFailure(ok ? db.lastError() : query.lastError());
        db.rollback();
        return false;
    }
    return true;
}

std::optional<int> Journal::countSoftBounce(const QByteArray& addressKey, const QString& address,
                                            qint64 run, const QString& status, const QDateTime& now,
                                            QString* reason)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    const QString key = QString::fromUtf8(addressKey);
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT count, last_run FROM soft_bounces WHERE address_key=?"));
    query.addBindValue(key);
    if (!query.exec()) {
        *reason = sqlFailure(query.lastError());
        return std::nullopt;
    }
    int count = 1;
    if (query.next()) {
        const int before = query.value(0).toInt();
        const qint64 lastRun = query.value(1).toLongLong();
        if (lastRun == run)
            return before; // a second report on the same mail, e.g. a delay warning
        count = before + 1;
        if (lastRun < run) {
            // A mail of a run in between that no soft bounce came back for was delivered.
            QSqlQuery between(db);
            between.prepare(QStringLiteral("SELECT 1 FROM mails WHERE address=? COLLATE NOCASE "
                                           "AND run_id>? AND run_id<? AND state='sent' LIMIT 1"));
            between.addBindValue(address);
            between.addBindValue(lastRun);
            between.addBindValue(run);
            if (!between.exec()) {
                *reason = sqlFailure(between.lastError());
                return std::nullopt;
            }
            if (between.next())
                count = 1;
        } else {
            // An older run's report arriving late changes nothing of the newer count.
            return before;
        }
    }
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO soft_bounces(address_key, count, "
                                 "last_run, last_status, updated) VALUES(?, ?, ?, ?, ?)"));
    query.addBindValue(key);
    query.addBindValue(count);
    query.addBindValue(run);
    query.addBindValue(status);
    query.addBindValue(stamp(now));
    if (!query.exec()) {
        *reason = sqlFailure(query.lastError());
        return std::nullopt;
    }
    return count;
}

bool Journal::forgetSoftBounces(const QByteArray& addressKey, QString* reason)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.prepare(QStringLiteral("DELETE FROM soft_bounces WHERE address_key=?"));
    query.addBindValue(QString::fromUtf8(addressKey));
    if (!query.exec()) {
        *reason = sqlFailure(query.lastError());
        return false;
    }
    return true;
}

} // namespace journal
