#include "fake_server.h"

#include <QDeadlineTimer>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

QString FakeServerRecord::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QStringList FakeServerRecord::transcript() const
{
    std::lock_guard lock(m_recordMutex);
    return m_transcript;
}

QStringList FakeServerRecord::clientLines() const
{
    QStringList out;
    for (const QString& entry : transcript())
        if (entry.startsWith(QLatin1String("C: ")))
            out.append(entry.mid(3));
    return out;
}

QString FakeServerRecord::transcriptText() const
{
    return transcript().join(QLatin1Char('\n'));
}

int FakeServerRecord::connectionCount() const
{
    std::lock_guard lock(m_recordMutex);
    return m_connections;
}

int FakeServerRecord::openConnections() const
{
    std::lock_guard lock(m_recordMutex);
    return m_open;
}

void FakeServerRecord::clearRecord()
{
    std::lock_guard lock(m_recordMutex);
    m_transcript.clear();
    m_connections = 0;
}

bool FakeServerRecord::waitFor(const std::function<bool()>& done, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

quint16 FakeServerRecord::unusedPort()
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

int FakeServerRecord::recordConnect()
{
    std::lock_guard lock(m_recordMutex);
    const int number = ++m_connections;
    ++m_open;
    m_transcript.append(QStringLiteral("* connect %1").arg(number));
    return number;
}

void FakeServerRecord::recordClose(int connection)
{
    std::lock_guard lock(m_recordMutex);
    --m_open;
    m_transcript.append(QStringLiteral("* close %1").arg(connection));
}

void FakeServerRecord::record(const QString& entry)
{
    std::lock_guard lock(m_recordMutex);
    m_transcript.append(entry);
}

} // namespace testing_support
