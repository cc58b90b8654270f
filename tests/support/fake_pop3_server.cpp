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

QString FakePop3Server::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

void FakePop3Server::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void FakePop3Server::setGreeting(const QString& text)
{
    QMutexLocker lock(&m_mutex);
    m_script.greeting = text;
}

void FakePop3Server::setApopTimestamp(const QString& timestamp)
{
    QMutexLocker lock(&m_mutex);
    m_script.apopTimestamp = timestamp;
}

void FakePop3Server::setGreetingError(const QString& text)
{
    QMutexLocker lock(&m_mutex);
    m_script.greetingError = text;
}

void FakePop3Server::setAccount(const QString& user, const QString& password)
{
    QMutexLocker lock(&m_mutex);
    m_script.user = user;
    m_script.password = password;
}

void FakePop3Server::setReplyDelayMs(int ms)
{
    QMutexLocker lock(&m_mutex);
    m_script.replyDelayMs = ms;
}

void FakePop3Server::setTrickleMs(int msPerByte)
{
    QMutexLocker lock(&m_mutex);
    m_script.trickleMs = msPerByte;
}

void FakePop3Server::setSilentAfterReplies(int replies)
{
    QMutexLocker lock(&m_mutex);
    m_script.silentAfterReplies = replies;
}

void FakePop3Server::setCloseOnAccept(bool close)
{
    QMutexLocker lock(&m_mutex);
    m_script.closeOnAccept = close;
}

std::vector<FakePop3Server::TranscriptLine> FakePop3Server::transcript() const
{
    QMutexLocker lock(&m_mutex);
    return m_transcript;
}

QStringList FakePop3Server::clientLines() const
{
    QMutexLocker lock(&m_mutex);
    QStringList lines;
    for (const auto& line : m_transcript) {
        if (line.fromClient)
            lines << line.text;
    }
    return lines;
}

QString FakePop3Server::transcriptText() const
{
    QMutexLocker lock(&m_mutex);
    QString text;
    for (const auto& line : m_transcript)
        text += (line.fromClient ? QStringLiteral("C: ") : QStringLiteral("S: ")) + line.text +
                QLatin1Char('\n');
    return text;
}

int FakePop3Server::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_connections;
}

int FakePop3Server::loginCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_logins;
}

int FakePop3Server::quitCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_quits;
}

bool FakePop3Server::waitForConnections(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (connectionCount() < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

bool FakePop3Server::waitForQuits(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (quitCount() < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

void FakePop3Server::clearRecord()
{
    QMutexLocker lock(&m_mutex);
    m_transcript.clear();
    m_connections = 0;
    m_logins = 0;
    m_quits = 0;
}

FakePop3Server::Script FakePop3Server::script() const
{
    QMutexLocker lock(&m_mutex);
    return m_script;
}

void FakePop3Server::record(int connection, bool fromClient, const QString& text)
{
    QMutexLocker lock(&m_mutex);
    m_transcript.push_back({connection, fromClient, text});
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
        int connection;
        {
            QMutexLocker lock(&m_mutex);
            connection = ++m_connections;
        }
        if (script().closeOnAccept) {
            socket->abort();
            continue;
        }
        serve(*socket, connection);
        if (socket->state() == QAbstractSocket::ConnectedState) {
            socket->disconnectFromHost();
            if (socket->state() != QAbstractSocket::UnconnectedState)
                socket->waitForDisconnected(1000);
        }
    }
    server.close();
}

void FakePop3Server::serve(QTcpSocket& socket, int connection)
{
    int replies = 0;
    // Returns false when the script says the server has gone quiet.
    auto reply = [&](const QString& text) {
        const Script current = script();
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
        record(connection, false, text);
        ++replies;
        return true;
    };

    const Script atStart = script();
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
        record(connection, true, line);

        const qsizetype blank = line.indexOf(QLatin1Char(' '));
        const QString command = line.left(blank < 0 ? line.size() : blank).toUpper();
        const QString argument = blank < 0 ? QString() : line.mid(blank + 1);
        const Script current = script();

        if (command == QLatin1String("QUIT")) {
            {
                QMutexLocker lock(&m_mutex);
                ++m_quits;
            }
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
                {
                    QMutexLocker lock(&m_mutex);
                    ++m_logins;
                }
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
                {
                    QMutexLocker lock(&m_mutex);
                    ++m_logins;
                }
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
