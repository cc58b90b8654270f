#pragma once

// A delivery journal made with plain SQL, as the run records it, for the tests that read it.

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTest>

namespace testing_support {

inline const QStringList kJournalSchema = {
    "CREATE TABLE runs(id INTEGER PRIMARY KEY, started TEXT NOT NULL, ended TEXT, "
    "list_path TEXT NOT NULL, list_size INTEGER NOT NULL, list_mtime TEXT NOT NULL, "
    "subject TEXT NOT NULL, sender_name TEXT NOT NULL, body TEXT NOT NULL, "
    "interval_ms INTEGER NOT NULL, state TEXT NOT NULL, total INTEGER NOT NULL)",
    "CREATE TABLE attachments(run_id INTEGER NOT NULL, position INTEGER NOT NULL, "
    "path TEXT NOT NULL, size INTEGER NOT NULL, sha256 TEXT NOT NULL, "
    "PRIMARY KEY(run_id, position))",
    "CREATE TABLE mails(run_id INTEGER NOT NULL, seq INTEGER NOT NULL, line INTEGER NOT NULL, "
    "address TEXT NOT NULL, state TEXT NOT NULL, time TEXT, reply TEXT, "
    "PRIMARY KEY(run_id, seq)) WITHOUT ROWID",
    "PRAGMA user_version = 1",
};

// Runs the statements, in order, on the database at path (made when missing).
inline void runSql(const QString& path, const QStringList& statements)
{
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("journal_maker"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery query(db);
        for (const QString& sql : statements)
            QVERIFY2(query.exec(sql),
                     qPrintable(sql + QLatin1Char(' ') + query.lastError().text()));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("journal_maker"));
}

// A run row with the given id, start, state and subject; the other columns don't matter here.
inline QString runRow(int id, const QString& started, const QString& state,
                      const QString& subject = QStringLiteral("お知らせ"))
{
    return QStringLiteral("INSERT INTO runs VALUES(%1, '%2', NULL, 'l.csv', 1, '%2', '%3', 'Taro', "
                          "'body', 1000, '%4', 0)")
        .arg(id)
        .arg(started, subject, state);
}

} // namespace testing_support
