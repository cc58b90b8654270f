#pragma once

// What the two scripted servers of the transport's tests (FakeSmtpServer, FakePop3Server) share:
// a script the test sets, and a transcript of everything the server heard and said.
//
//   server.setScript(script);             // applies from the next reply on
//   ... the client talks to server.address() ...
//   QCOMPARE(server.clientLines(), QStringList({"USER alice", "PASS secret", "QUIT"}));
//
// Both listen on 127.0.0.1 and an ephemeral port and serve on threads of their own with blocking
// sockets, so a client that blocks the test's thread cannot deadlock them. The transcript lists,
// in order:
//   "* connect N"   a connection was accepted (N counts connections from 1)
//   "C: <line>"     a line from the client (the SMTP server shows AUTH data as "****")
//   "S: <line>"     a line of the server's reply, one entry per line
//   "* <event>"     anything else the server did: "* close N", "* TLS started", ...

#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>

namespace testing_support {

class FakeServerRecord
{
public:
    quint16 port() const { return m_port; }
    // "127.0.0.1:<port>", the server value a client is given.
    QString address() const;

    QStringList transcript() const;
    // The client's lines: the "C: " entries without their prefix.
    QStringList clientLines() const;
    // The transcript, one entry per line.
    QString transcriptText() const;
    int connectionCount() const;
    // Connections still open.
    int openConnections() const;
    // Empties the transcript and the counts (and whatever else the server keeps).
    virtual void clearRecord();

    // Blocks the calling thread, processing no events, until done() holds; false when
    // timeoutMs passed first.
    bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000) const;

    // A loopback port with nothing listening on it (bound, then released).
    static quint16 unusedPort();

protected:
    FakeServerRecord() = default;
    virtual ~FakeServerRecord() = default;

    // For the serving threads.
    int recordConnect(); // returns the connection's number
    void recordClose(int connection);
    void record(const QString& entry);
    void recordClient(const QString& line) { record(QStringLiteral("C: ") + line); }
    void recordServer(const QString& line) { record(QStringLiteral("S: ") + line); }

    quint16 m_port = 0;
    mutable std::mutex m_recordMutex;

private:
    QStringList m_transcript;
    int m_connections = 0;
    int m_open = 0;
};

// The script half: Script is a plain struct of the server's own (SmtpScript, Pop3Script).
template <class Script> class ScriptedServer : public FakeServerRecord
{
public:
    void setScript(const Script& script)
    {
        std::lock_guard lock(m_scriptMutex);
        m_script = script;
    }
    Script script() const
    {
        std::lock_guard lock(m_scriptMutex);
        return m_script;
    }

private:
    mutable std::mutex m_scriptMutex;
    Script m_script;
};

} // namespace testing_support
