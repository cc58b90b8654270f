#include "fake_pop3_server.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace testing_support {

FakePop3Server::FakePop3Server()
{
    std::promise<quint16> listening;
    auto port = listening.get_future();
    m_thread = std::thread([this, &listening] { run(&listening); });
    m_port = port.get();
}

FakePop3Server::~FakePop3Server()
{
    stop();
}

void FakePop3Server::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void FakePop3Server::clearRecord()
{
    ScriptedServer::clearRecord();
    m_logins = 0;
    m_quits = 0;
    std::lock_guard lock(m_recordMutex);
    m_deleted.clear();
}

void FakePop3Server::run(std::promise<quint16>* listening)
{
    // The listener lives and dies on this thread; without an event loop every socket call
    // here is a blocking one with a short wait, so stop() is noticed quickly.
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        listening->set_value(0);
        return;
    }
    listening->set_value(server.serverPort());

    while (!m_stop) {
        if (!server.waitForNewConnection(50))
            continue;
        std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
        if (!socket)
            continue;
        const int connection = recordConnect();
        if (script().closeOnAccept) {
            socket->abort();
            recordClose(connection);
            continue;
        }
        serve(*socket, connection);
        if (socket->state() == QAbstractSocket::ConnectedState) {
            socket->disconnectFromHost();
            if (socket->state() != QAbstractSocket::UnconnectedState)
                socket->waitForDisconnected(1000);
        }
        recordClose(connection);
    }
    server.close();
}

void FakePop3Server::serve(QTcpSocket& socket, int)
{
    int replies = 0;
    // Returns false when the script says the server has gone quiet.
    auto reply = [&](const QString& text) {
        const Pop3Script current = script();
        if (current.silentAfterReplies >= 0 && replies >= current.silentAfterReplies)
            return false;
        QDeadlineTimer delay(current.replyDelayMs);
        while (!delay.hasExpired() && !m_stop)
            QThread::msleep(qMin<qint64>(10, qMax<qint64>(1, delay.remainingTime())));
        const QByteArray bytes = text.toUtf8() + "\r\n";
        if (current.trickleMs > 0) {
            for (qsizetype i = 0; i < bytes.size() && !m_stop; ++i) {
                socket.write(bytes.mid(i, 1));
                socket.waitForBytesWritten(1000);
                if (socket.state() != QAbstractSocket::ConnectedState)
                    return false;
                QThread::msleep(current.trickleMs);
            }
        } else {
            socket.write(bytes);
        }
        socket.waitForBytesWritten(1000);
        for (const QString& line : text.split(QStringLiteral("\r\n")))
            recordServer(line);
        ++replies;
        return true;
    };

    const Pop3Script atStart = script();
    if (!atStart.greetingError.isEmpty()) {
        reply(QStringLiteral("-ERR ") + atStart.greetingError);
        return;
    }
    QString greeting = QStringLiteral("+OK ") + atStart.greeting;
    if (!atStart.apopTimestamp.isEmpty())
        greeting += QLatin1Char(' ') + atStart.apopTimestamp;
    reply(greeting);

    QString givenUser;
    bool loggedIn = false;
    QList<int> marked;
    // The mail a command's argument names, or null.
    auto mailAt = [](const Pop3Script& current, const QString& argument) -> const Pop3Mail* {
        bool ok = false;
        const int number = argument.toInt(&ok);
        return ok && number >= 1 && number <= current.mails.size() ? &current.mails[number - 1]
                                                                   : nullptr;
    };
    auto listedSize = [](const Pop3Script& current, const Pop3Mail& mail) {
        return current.understateSizes ? qsizetype(1) : mail.content.size();
    };
    while (!m_stop) {
        if (!socket.canReadLine()) {
            if (socket.state() != QAbstractSocket::ConnectedState)
                return;
            socket.waitForReadyRead(50);
            continue;
        }
        QByteArray raw = socket.readLine();
        while (raw.endsWith('\n') || raw.endsWith('\r'))
            raw.chop(1);
        const QString line = QString::fromUtf8(raw);
        recordClient(line);

        const qsizetype blank = line.indexOf(QLatin1Char(' '));
        const QString command = line.left(blank < 0 ? line.size() : blank).toUpper();
        const QString argument = blank < 0 ? QString() : line.mid(blank + 1);
        const Pop3Script current = script();

        if (command == QLatin1String("QUIT")) {
            ++m_quits;
            if (loggedIn && current.quitRefused) {
                reply(QStringLiteral("-ERR Some deleted messages not removed."));
                return;
            }
            if (loggedIn) {
                std::lock_guard lock(m_recordMutex);
                for (int number : std::as_const(marked))
                    m_deleted.append(current.mails[number - 1].uid);
            }
            reply(QStringLiteral("+OK Logging out."));
            return;
        }
        if (loggedIn) {
            const Pop3Mail* mail = mailAt(current, argument);
            if (command == QLatin1String("NOOP")) {
                reply(QStringLiteral("+OK"));
            } else if (command == QLatin1String("STAT")) {
                reply(QStringLiteral("+OK %1 0").arg(current.mails.size()));
            } else if (command == QLatin1String("UIDL") && argument.isEmpty()) {
                if (current.uidlRefused) {
                    reply(QStringLiteral("-ERR Unknown command."));
                    continue;
                }
                QStringList lines{QStringLiteral("+OK")};
                for (int i = 0; i < current.mails.size(); ++i)
                    lines << QStringLiteral("%1 %2").arg(i + 1).arg(
                        QString::fromLatin1(current.mails[i].uid));
                reply((lines << QStringLiteral(".")).join(QStringLiteral("\r\n")));
            } else if (command == QLatin1String("LIST") && argument.isEmpty()) {
                QStringList lines{QStringLiteral("+OK")};
                for (int i = 0; i < current.mails.size(); ++i)
                    lines << QStringLiteral("%1 %2").arg(i + 1).arg(
                        listedSize(current, current.mails[i]));
                reply((lines << QStringLiteral(".")).join(QStringLiteral("\r\n")));
            } else if (command == QLatin1String("LIST") && mail) {
                reply(QStringLiteral("+OK %1 %2").arg(argument).arg(listedSize(current, *mail)));
            } else if (command == QLatin1String("RETR") && mail) {
                if (!reply(QStringLiteral("+OK")))
                    continue;
                QByteArray wire;
                for (const QByteArray& line : mail->content.split('\n')) {
                    if (line.startsWith('.'))
                        wire += '.';
                    wire += line + '\n';
                }
                wire.chop(1); // the split's empty tail after the last line end
                wire += ".\r\n";
                socket.write(wire);
                while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(1000)) {
                }
                recordServer(QStringLiteral("<%1 octets>").arg(wire.size()));
            } else if (command == QLatin1String("DELE") && mail) {
                if (current.deleRefused) {
                    reply(QStringLiteral("-ERR Deleting is not permitted."));
                } else {
                    marked << argument.toInt();
                    reply(QStringLiteral("+OK Marked to be deleted."));
                }
            } else {
                reply(QStringLiteral("-ERR Unknown command."));
            }
            continue;
        }
        if (command == QLatin1String("USER")) {
            givenUser = argument;
            reply(QStringLiteral("+OK"));
        } else if (command == QLatin1String("PASS")) {
            if (!givenUser.isNull() && givenUser == current.user && argument == current.password) {
                loggedIn = true;
                ++m_logins;
                reply(QStringLiteral("+OK Logged in."));
            } else {
                givenUser.clear();
                reply(QStringLiteral("-ERR [AUTH] Authentication failed."));
            }
        } else if (command == QLatin1String("APOP")) {
            const QStringList parts = argument.split(QLatin1Char(' '));
            const QByteArray expected =
                QCryptographicHash::hash((atStart.apopTimestamp + current.password).toUtf8(),
                                         QCryptographicHash::Md5)
                    .toHex();
            if (atStart.apopTimestamp.isEmpty()) {
                reply(QStringLiteral("-ERR APOP not available."));
            } else if (parts.size() == 2 && parts[0] == current.user &&
                       parts[1].toLower().toLatin1() == expected) {
                loggedIn = true;
                ++m_logins;
                reply(QStringLiteral("+OK Logged in."));
            } else {
                reply(QStringLiteral("-ERR [AUTH] Authentication failed."));
            }
        } else if (command == QLatin1String("CAPA")) {
            reply(QStringLiteral("+OK\r\nUSER\r\n."));
        } else if (command == QLatin1String("STLS")) {
            reply(QStringLiteral("-ERR TLS support isn't enabled."));
        } else if (command == QLatin1String("NOOP")) {
            reply(QStringLiteral("-ERR Not logged in."));
        } else {
            reply(QStringLiteral("-ERR Unknown command."));
        }
    }
}

} // namespace testing_support
