#pragma once

// A MailTransport for tests of windows and runs: it sends nothing, answers from a script, and
// records every request it is handed. The windows run it on their transport thread, as they run
// the real one, so a test sees the window exactly as the operator does while a mail is on its
// way. Every member may be called from any thread.
//
//   auto transport = std::make_shared<RecordingTransport>();
//   ScopedTransport installed(transport);       // windows made from now on use it
//   transport->setSendOutcome("bad@example.jp", failedSend("550 5.1.1 unknown"));
//   transport->holdSend("b@example.jp", [&] { /* the window while that mail is on its way */ });
//   ... run ...
//   QCOMPARE(transport->recipients(), QStringList({...}));

#include "core/transport/mail_transport.h"
#include "core/transport/transport_thread.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace testing_support {

// A failed send as the real transport reports one.
transport::SendOutcome
failedSend(const QString& errorText,
           transport::FailureClass failure = transport::FailureClass::Transaction,
           bool mayHaveArrived = false);

struct TransportRequest
{
    enum class Kind { Send, Login, CloseSession };
    Kind kind = Kind::Send;
    transport::MailRequest mail;      // for a send
    transport::Pop3Request login;     // for a login
    bool onApplicationThread = false; // it ran on the thread of the windows, which it must not
};

class RecordingTransport final : public transport::MailTransport
{
public:
    // --- Script; a change applies from the next request on.
    // The outcome of every send to `to` (compared exactly); sends to others succeed, unless
    // setOtherSendsOutcome says otherwise.
    void setSendOutcome(const QString& to, const transport::SendOutcome& outcome);
    void setOtherSendsOutcome(const transport::SendOutcome& outcome);
    void setLoginOutcome(const transport::LoginOutcome& outcome);
    // Every send (login) takes this long before it answers.
    void setSendDelayMs(int ms);
    void setLoginDelayMs(int ms);
    // The next send to `to` (any recipient when `to` is null) stays on its way until whileHeld,
    // which runs on the application's thread from its event loop (the window's wait for that
    // mail), has returned. That is the test's hand on the mail: it may click, wait and look
    // at the window in there.
    void holdSend(const QString& to, std::function<void()> whileHeld);
    // True while a held send waits for its whileHeld to return.
    bool isHolding() const;
    // True when a held send gave up waiting after 10 s because whileHeld never ran: the
    // application's thread did not process its events while the send was on its way.
    bool holdTimedOut() const;

    // --- Record.
    QList<TransportRequest> requests() const;
    QList<transport::MailRequest> sends() const;
    QList<transport::Pop3Request> logins() const;
    QStringList recipients() const;
    QStringList subjects() const;
    // Every request in order, one word each: "send <recipient>", "login <user>", "close".
    QStringList log() const;
    // True when any request ran on the application's (the windows') thread.
    bool anyOnApplicationThread() const;

    // --- transport::MailTransport
    transport::SendOutcome send(const transport::MailRequest& mail) override;
    transport::LoginOutcome pop3Login(const transport::Pop3Request& login) override;
    void closeSession() override;

private:
    struct Hold
    {
        QString to;
        std::function<void()> whileHeld;
    };
    void record(TransportRequest request);
    void waitHeld(std::function<void()> whileHeld);

    mutable std::mutex m_mutex;
    QList<TransportRequest> m_requests;
    QMap<QString, transport::SendOutcome> m_outcomes;
    transport::SendOutcome m_otherOutcome{true, {}, transport::FailureClass::None, false};
    transport::LoginOutcome m_loginOutcome{true, {}};
    int m_sendDelayMs = 0;
    int m_loginDelayMs = 0;
    std::optional<Hold> m_hold;
    bool m_holding = false;
    bool m_holdTimedOut = false;
};

// Makes the windows created while it lives run the given transport on their thread.
class ScopedTransport
{
public:
    explicit ScopedTransport(std::shared_ptr<transport::MailTransport> transport);
    ~ScopedTransport();
    ScopedTransport(const ScopedTransport&) = delete;
    ScopedTransport& operator=(const ScopedTransport&) = delete;

private:
    transport::TransportFactory m_previous;
};

} // namespace testing_support
