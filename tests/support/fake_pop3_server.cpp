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
            reply(QStringLiteral("+OK Logging out."));
            return;
        }
        if (loggedIn) {
            if (command == QLatin1String("NOOP"))
                reply(QStringLiteral("+OK"));
            else if (command == QLatin1String("STAT"))
                reply(QStringLiteral("+OK 0 0"));
            else
                reply(QStringLiteral("-ERR Unknown command."));
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
