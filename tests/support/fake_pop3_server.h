#pragma once

// A scripted POP3 server for the transport's tests, with the script-and-transcript API of
// fake_server.h. It serves one connection at a time on a thread of its own.
//
//   testing_support::FakePop3Server server;
//   Pop3Script script;
//   script.apopTimestamp = "<1896.697170952@dbc.mtview.ca.us>";
//   server.setScript(script);
//   ... log in at server.address() ...
//   QCOMPARE(server.loginCount(), 1);

#include "fake_server.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <future>
#include <thread>

class QTcpSocket;

namespace testing_support {

struct Pop3Mail
{
    QByteArray uid;
    // As stored, with CR LF line ends; the server dot-stuffs it on the wire.
    QByteArray content;
};

struct Pop3Script
{
    // The greeting's text after "+OK "; the APOP timestamp is appended when set. An empty
    // timestamp means a greeting without one (no APOP offered).
    QString greeting = QStringLiteral("POP3 server ready.");
    QString apopTimestamp;
    // When set, the greeting is "-ERR <text>" instead (a server that turns clients away).
    QString greetingError;
    // The one account that logs in, by USER/PASS or by APOP.
    QString user = QStringLiteral("user");
    QString password = QStringLiteral("secret");
    // Wait before every reply (a slow server).
    int replyDelayMs = 0;
    // Send every reply a byte at a time, this long apart (a tarpit that keeps "answering").
    int trickleMs = 0;
    // After this many replies on a connection the server keeps reading but never answers
    // again; 0 means not even a greeting. Negative: always answers.
    int silentAfterReplies = -1;
    // Accept connections and close them at once, without a greeting.
    bool closeOnAccept = false;

    // The mailbox the account sees after logging in, numbered from 1.
    QList<Pop3Mail> mails;
    bool uidlRefused = false;
    // LIST gives every mail as 1 octet long (a server whose sizes can't be trusted).
    bool understateSizes = false;
    bool deleRefused = false;
    // QUIT after a login is answered "-ERR" (RFC 1939: some deletions failed).
    bool quitRefused = false;
};

class FakePop3Server final : public ScriptedServer<Pop3Script>
{
public:
    // Starts listening at once; port() is 0 when listening failed.
    FakePop3Server();
    ~FakePop3Server() override;
    FakePop3Server(const FakePop3Server&) = delete;
    FakePop3Server& operator=(const FakePop3Server&) = delete;

    // Stops listening and drops the current connection. Later connects are refused.
    void stop();

    int loginCount() const { return m_logins; } // successful USER/PASS or APOP logins
    int quitCount() const { return m_quits; }   // QUIT commands received
    // The UIDs of mails deleted by a confirmed QUIT, in the order of their DELE commands.
    QList<QByteArray> deletedUids() const
    {
        std::lock_guard lock(m_recordMutex);
        return m_deleted;
    }
    // Blocks the calling thread (processing no events) until count QUITs have come.
    bool waitForQuits(int count, int timeoutMs = 5000) const
    {
        return waitFor([this, count] { return quitCount() >= count; }, timeoutMs);
    }
    // The counts go too.
    void clearRecord() override;

private:
    void run(std::promise<quint16>* listening);
    void serve(QTcpSocket& socket, int connection);

    std::atomic<int> m_logins{0};
    std::atomic<int> m_quits{0};
    std::atomic<bool> m_stop{false};
    QList<QByteArray> m_deleted; // under m_recordMutex
    std::thread m_thread;
};

} // namespace testing_support
