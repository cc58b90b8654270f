#pragma once

// A scripted POP3 server for tests. It runs on its own thread with blocking sockets, so a
// client that blocks the test's thread can't deadlock it. It serves one connection at a time
// on 127.0.0.1 and an ephemeral port, and records everything it hears and says.
//
// The script may be changed at any time; a change applies from the next reply on.

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

class QTcpSocket;

namespace testing_support {

class FakePop3Server
{
public:
    struct TranscriptLine
    {
        int connection = 0;     // 1 for the first connection accepted
        bool fromClient = true; // false: a reply of the server
        QString text;           // without the line end
    };

    // Starts listening at once; port() is 0 when listening failed.
    FakePop3Server();
    ~FakePop3Server();
    FakePop3Server(const FakePop3Server&) = delete;
    FakePop3Server& operator=(const FakePop3Server&) = delete;

    quint16 port() const { return m_port; }
    // "127.0.0.1:<port>", the form the program's POP3 setting takes.
    QString address() const;
    // Stops listening and drops the current connection. Later connects are refused.
    void stop();

    // --- Script -----------------------------------------------------------------------
    // The greeting's text after "+OK "; the APOP timestamp (e.g. "<1896.697170952@host>") is
    // appended when set. An empty timestamp means a greeting without one (no APOP offered).
    void setGreeting(const QString& text);
    void setApopTimestamp(const QString& timestamp);
    // Answer the greeting with "-ERR <text>" instead (a server that turns clients away).
    void setGreetingError(const QString& text);
    // The one account that logs in, by USER/PASS or by APOP.
    void setAccount(const QString& user, const QString& password);
    // Waits this long before every reply (a slow server).
    void setReplyDelayMs(int ms);
    // Sends every reply a byte at a time, this long apart (a tarpit that keeps "answering").
    void setTrickleMs(int msPerByte);
    // After this many replies on a connection the server keeps reading but never answers
    // again; 0 means not even a greeting. Negative (the default): always answers.
    void setSilentAfterReplies(int replies);
    // Accept connections and close them at once, without a greeting.
    void setCloseOnAccept(bool close);

    // --- What happened ----------------------------------------------------------------
    std::vector<TranscriptLine> transcript() const;
    // The client's lines, all connections in order.
    QStringList clientLines() const;
    // The transcript as text, "C: " / "S: " before each line, one line each.
    QString transcriptText() const;
    int connectionCount() const;
    int loginCount() const; // successful USER/PASS or APOP logins
    int quitCount() const;  // QUIT commands received
    // Blocks the calling thread (processing no events) until the counts are reached.
    bool waitForConnections(int count, int timeoutMs = 5000) const;
    bool waitForQuits(int count, int timeoutMs = 5000) const;
    // Clears the transcript and the counts.
    void clearRecord();

private:
    struct Script
    {
        QString greeting = QStringLiteral("POP3 server ready.");
        QString apopTimestamp;
        QString greetingError;
        QString user = QStringLiteral("user");
        QString password = QStringLiteral("secret");
        int replyDelayMs = 0;
        int trickleMs = 0;
        int silentAfterReplies = -1;
        bool closeOnAccept = false;
    };

    void run(std::promise<quint16>* listening);
    void serve(QTcpSocket& socket, int connection);
    Script script() const;
    void record(int connection, bool fromClient, const QString& text);

    mutable QMutex m_mutex;
    Script m_script;
    std::vector<TranscriptLine> m_transcript;
    int m_connections = 0;
    int m_logins = 0;
    int m_quits = 0;

    std::atomic<bool> m_stop{false};
    quint16 m_port = 0;
    std::thread m_thread;
};

} // namespace testing_support
