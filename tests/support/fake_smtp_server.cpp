#include "fake_smtp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace testing_support {

QByteArray SmtpMessage::content() const
{
    QByteArray out;
    out.reserve(data.size());
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        end = end < 0 ? data.size() : end + 1;
        if (data.at(start) == '.')
            ++start;
        out.append(data.constData() + start, end - start);
        start = end;
    }
    return out;
}

struct FakeSmtpServer::State
{
    mutable std::mutex mutex;
    SmtpScript script;
    QList<SmtpMessage> messages;
    QStringList transcript;
    int connections = 0;
    int open = 0;
    std::vector<int> liveSockets;

    std::atomic<bool> stopping{false};
    int listenSocket = -1;
    quint16 port = 0;
    std::thread acceptor;
    std::vector<std::thread> workers;

    SmtpScript currentScript()
    {
        std::lock_guard lock(mutex);
        return script;
    }
    void record(const QString& line)
    {
        std::lock_guard lock(mutex);
        transcript.append(line);
    }

    void acceptLoop();
    void serve(int socket, int number);
};

namespace {

// Reads lines and raw bytes from a blocking socket, giving up when the server stops.
class Connection
{
public:
    Connection(int socket, const std::atomic<bool>& stopping)
        : m_socket(socket), m_stopping(stopping)
    {
    }

    // false when the peer closed or the server stops.
    bool fill()
    {
        while (!m_stopping) {
            pollfd pfd{m_socket, POLLIN, 0};
            int ready = ::poll(&pfd, 1, 50);
            if (ready < 0)
                return false;
            if (ready == 0)
                continue;
            char chunk[4096];
            ssize_t got = ::recv(m_socket, chunk, sizeof chunk, 0);
            if (got <= 0)
                return false;
            m_buffer.append(chunk, got);
            return true;
        }
        return false;
    }

    bool readLine(QByteArray& line)
    {
        for (;;) {
            qsizetype lf = m_buffer.indexOf('\n');
            if (lf >= 0) {
                line = m_buffer.left(lf);
                if (line.endsWith('\r'))
                    line.chop(1);
                m_buffer.remove(0, lf + 1);
                return true;
            }
            if (!fill())
                return false;
        }
    }

    // Reads the content after 354 up to the line holding a lone ".". dropAfter >= 0 ends the
    // reading (returns false) once that many content bytes have arrived.
    bool readData(QByteArray& data, int dropAfter)
    {
        for (;;) {
            qsizetype end = -1;
            if (m_buffer.startsWith(".\r\n"))
                end = 0;
            else {
                qsizetype found = m_buffer.indexOf("\r\n.\r\n");
                if (found >= 0)
                    end = found + 2;
            }
            if (dropAfter >= 0 && (end < 0 ? m_buffer.size() : end) >= dropAfter)
                return false;
            if (end >= 0) {
                data = m_buffer.left(end);
                m_buffer.remove(0, end + 3);
                return true;
            }
            if (!fill())
                return false;
        }
    }

    void waitForClose()
    {
        while (fill())
            m_buffer.clear();
    }

    bool send(const QByteArray& bytes)
    {
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            ssize_t n =
                ::send(m_socket, bytes.constData() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return true;
    }

private:
    int m_socket;
    const std::atomic<bool>& m_stopping;
    QByteArray m_buffer;
};

QByteArray angleContent(const QByteArray& argument)
{
    qsizetype open = argument.indexOf('<');
    qsizetype close = argument.lastIndexOf('>');
    if (open < 0 || close < open)
        return argument.trimmed();
    return argument.mid(open + 1, close - open - 1);
}

} // namespace

void FakeSmtpServer::State::acceptLoop()
{
    while (!stopping) {
        pollfd pfd{listenSocket, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0)
            continue;
        int client = ::accept(listenSocket, nullptr, nullptr);
        if (client < 0)
            continue;
        int number;
        {
            std::lock_guard lock(mutex);
            number = ++connections;
            ++open;
            liveSockets.push_back(client);
            transcript.append(QStringLiteral("* connect %1").arg(number));
            workers.emplace_back([this, client, number] { serve(client, number); });
        }
    }
}

void FakeSmtpServer::State::serve(int socket, int number)
{
    Connection conn(socket, stopping);
    SmtpScript s = currentScript();

    auto silent = [&](const char* point) {
        s = currentScript();
        return !s.silentFrom.isEmpty() && s.silentFrom == point;
    };
    // Sends a reply (possibly multi-line, joined by "\r\n"); false when the connection must end.
    auto reply = [&](const QByteArray& text) {
        if (s.replyDelayMs > 0) {
            auto until =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(s.replyDelayMs);
            while (!stopping && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (const QByteArray& line : text.split('\n'))
            record(QStringLiteral("S: ") + QString::fromUtf8(line.trimmed()));
        QByteArray wire = text;
        wire.replace("\r\n", "\n");
        wire.replace("\n", "\r\n");
        return conn.send(wire + "\r\n") && !text.startsWith("421");
    };

    auto run = [&] {
        if (silent("CONNECT"))
            return conn.waitForClose();
        if (!reply(s.greeting) || !s.greeting.startsWith('2'))
            return;
        int transactions = 0;
        int accepted = 0;
        SmtpMessage current;
        bool inTransaction = false;
        QByteArray line;
        while (conn.readLine(line)) {
            record(QStringLiteral("C: ") + QString::fromUtf8(line));
            QByteArray verb = line.left(4).toUpper();
            QByteArray argument = line.mid(line.indexOf(':') + 1);
            if (verb == "EHLO" || verb == "HELO") {
                if (silent("EHLO"))
                    return conn.waitForClose();
                QByteArray text = "250";
                if (verb == "EHLO" && !s.ehloCapabilities.isEmpty()) {
                    text = "250-fake.smtp.test";
                    for (int i = 0; i < s.ehloCapabilities.size(); ++i)
                        text += (i + 1 < s.ehloCapabilities.size() ? "\n250-" : "\n250 ") +
                                s.ehloCapabilities.at(i);
                } else {
                    text += " fake.smtp.test";
                }
                if (!reply(text))
                    return;
            } else if (verb == "MAIL") {
                if (silent("MAIL"))
                    return conn.waitForClose();
                ++transactions;
                if (s.reject421AtTransaction > 0 && transactions >= s.reject421AtTransaction) {
                    reply("421 4.3.2 Too many messages on this connection");
                    return;
                }
                QByteArray text = s.mailReply.isEmpty() ? QByteArray("250 2.1.0 Ok") : s.mailReply;
                inTransaction = text.startsWith('2');
                current = SmtpMessage();
                current.connection = number;
                current.mailFrom = angleContent(argument);
                if (!reply(text))
                    return;
            } else if (verb == "RCPT") {
                if (silent("RCPT"))
                    return conn.waitForClose();
                QByteArray address = angleContent(argument);
                QByteArray text = s.rcptReply.isEmpty() ? QByteArray("250 2.1.5 Ok") : s.rcptReply;
                for (auto it = s.rejectRecipients.cbegin(); it != s.rejectRecipients.cend(); ++it)
                    if (it.key().toLower() == address.toLower())
                        text = it.value();
                if (text.startsWith('2'))
                    current.recipients.append(address);
                if (!reply(text))
                    return;
            } else if (verb == "DATA") {
                if (silent("DATA"))
                    return conn.waitForClose();
                if (!inTransaction || current.recipients.isEmpty()) {
                    if (!reply("503 5.5.1 Error: need RCPT command"))
                        return;
                    continue;
                }
                QByteArray text = s.dataReply.isEmpty()
                                      ? QByteArray("354 End data with <CR><LF>.<CR><LF>")
                                      : s.dataReply;
                if (!reply(text))
                    return;
                if (!text.startsWith('3'))
                    continue;
                if (!conn.readData(current.data, s.dropDuringDataAfterBytes)) {
                    record(QStringLiteral("* dropped during DATA"));
                    return;
                }
                record(QStringLiteral("C: <DATA: %1 bytes>").arg(current.data.size()));
                record(QStringLiteral("C: ."));
                inTransaction = false;
                if (silent(".")) {
                    {
                        std::lock_guard lock(mutex);
                        messages.append(current);
                    }
                    return conn.waitForClose();
                }
                text =
                    s.dataEndReply.isEmpty() ? QByteArray("250 2.0.0 Ok: queued") : s.dataEndReply;
                current.accepted = text.startsWith('2');
                {
                    std::lock_guard lock(mutex);
                    messages.append(current);
                }
                if (!reply(text))
                    return;
                if (current.accepted && s.closeAfterMessages > 0 &&
                    ++accepted >= s.closeAfterMessages) {
                    record(QStringLiteral("* server closes idle connection"));
                    return;
                }
            } else if (verb == "RSET") {
                inTransaction = false;
                if (!reply("250 2.0.0 Ok"))
                    return;
            } else if (verb == "NOOP") {
                if (!reply("250 2.0.0 Ok"))
                    return;
            } else if (verb == "QUIT") {
                reply("221 2.0.0 Bye");
                return;
            } else {
                if (!reply("502 5.5.2 Error: command not recognized"))
                    return;
            }
        }
    };
    run();
    ::shutdown(socket, SHUT_RDWR);
    std::lock_guard lock(mutex);
    ::close(socket);
    std::erase(liveSockets, socket);
    --open;
    transcript.append(QStringLiteral("* close %1").arg(number));
}

FakeSmtpServer::FakeSmtpServer() : FakeSmtpServer(SmtpScript()) {}

FakeSmtpServer::FakeSmtpServer(const SmtpScript& script) : m_state(std::make_shared<State>())
{
    m_state->script = script;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0)
        qFatal("FakeSmtpServer: cannot listen on 127.0.0.1");
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_state->listenSocket = fd;
    m_state->port = ntohs(addr.sin_port);
    State* state = m_state.get();
    m_state->acceptor = std::thread([state] { state->acceptLoop(); });
}

FakeSmtpServer::~FakeSmtpServer()
{
    m_state->stopping = true;
    m_state->acceptor.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(m_state->mutex);
        for (int fd : m_state->liveSockets)
            ::shutdown(fd, SHUT_RDWR);
        workers.swap(m_state->workers);
    }
    for (std::thread& worker : workers)
        worker.join();
    ::close(m_state->listenSocket);
}

quint16 FakeSmtpServer::port() const
{
    return m_state->port;
}

QString FakeSmtpServer::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_state->port);
}

void FakeSmtpServer::setScript(const SmtpScript& script)
{
    std::lock_guard lock(m_state->mutex);
    m_state->script = script;
}

QList<SmtpMessage> FakeSmtpServer::messages() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->messages;
}

QList<SmtpMessage> FakeSmtpServer::acceptedMessages() const
{
    QList<SmtpMessage> out;
    for (const SmtpMessage& m : messages())
        if (m.accepted)
            out.append(m);
    return out;
}

QStringList FakeSmtpServer::transcript() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->transcript;
}

QStringList FakeSmtpServer::clientLines() const
{
    QStringList out;
    for (const QString& line : transcript())
        if (line.startsWith(QLatin1String("C: ")))
            out.append(line.mid(3));
    return out;
}

int FakeSmtpServer::connectionCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->connections;
}

int FakeSmtpServer::openConnections() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->open;
}

void FakeSmtpServer::clearRecords()
{
    std::lock_guard lock(m_state->mutex);
    m_state->messages.clear();
    m_state->transcript.clear();
}

quint16 FakeSmtpServer::unusedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

} // namespace testing_support
