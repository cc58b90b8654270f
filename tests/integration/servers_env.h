#pragma once

// What scripts/servers/start.sh wrote about the running test servers, and helpers to look at
// what they recorded.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

namespace integration {

class ServersEnv
{
public:
    // Reads $KEZ_SERVERS_DIR/servers.env. False, with the reason in errorText, when the
    // servers aren't running.
    bool load(QString* errorText);
    QString value(const QString& key) const { return m_values.value(key); }
    QString pop3Server() const;
    QString smtpServer() const;

private:
    QHash<QString, QString> m_values;
};

// File names (not paths) in dir matching the pattern, sorted.
QStringList filesIn(const QString& dir, const QString& pattern);
QByteArray readAll(const QString& path);
qint64 fileSize(const QString& path);
// The bytes appended to path after offset.
QByteArray tail(const QString& path, qint64 offset);

} // namespace integration
