#include "servers_env.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace integration {

bool ServersEnv::load(QString* errorText)
{
    const QString dir = qEnvironmentVariable("KEZ_SERVERS_DIR");
    if (dir.isEmpty()) {
        *errorText = QStringLiteral("KEZ_SERVERS_DIR is not set: run through ctest, or start "
                                    "scripts/servers/start.sh DIR and export KEZ_SERVERS_DIR=DIR");
        return false;
    }
    QFile file(QDir(dir).filePath(QStringLiteral("servers.env")));
    if (!file.open(QIODevice::ReadOnly)) {
        *errorText = QStringLiteral("%1: %2 (did the servers start?)")
                         .arg(file.fileName(), file.errorString());
        return false;
    }
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            m_values.insert(line.left(eq), line.mid(eq + 1));
    }
    for (const char* key : {"KEZ_POP3_PORT", "KEZ_SMTP_PORT", "KEZ_SMTP_STORE"}) {
        if (!m_values.contains(QLatin1String(key))) {
            *errorText = QStringLiteral("%1 lacks %2").arg(file.fileName(), QLatin1String(key));
            return false;
        }
    }
    return true;
}

QString ServersEnv::pop3Server() const
{
    return value(QStringLiteral("KEZ_POP3_HOST")) + QLatin1Char(':') +
           value(QStringLiteral("KEZ_POP3_PORT"));
}

QString ServersEnv::smtpServer() const
{
    return value(QStringLiteral("KEZ_SMTP_HOST")) + QLatin1Char(':') +
           value(QStringLiteral("KEZ_SMTP_PORT"));
}

QStringList filesIn(const QString& dir, const QString& pattern)
{
    return QDir(dir).entryList({pattern}, QDir::Files, QDir::Name);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

QByteArray tail(const QString& path, qint64 offset)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return {};
    return file.readAll();
}

} // namespace integration
