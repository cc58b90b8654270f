#pragma once

#include "core/transport/mail_transport.h"
#include "core/transport/smtp_server.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>

// Sends composed mails over SMTP with libcurl, keeping one connection open between the mails of
// a run.
namespace transport {

struct SmtpTimeouts
{
    // Up to the server's greeting (and the TLS handshake).
    std::chrono::milliseconds connect{30000};
    // After that, a transfer slower than this for lowSpeedTime aborts: a silent server frees
    // the window within a minute, while a large attachment on a slow link still goes through.
    long lowSpeedBytesPerSecond = 1024;
    std::chrono::seconds lowSpeedTime{60};
};

// The time-outs of senders created from now on, and of the program's sender (tests shorten
// them; setSmtpTimeouts({}) restores the defaults).
void setSmtpTimeouts(const SmtpTimeouts& timeouts);
SmtpTimeouts smtpTimeouts();

// Certificates to trust besides the system's store: a PEM file, for tests against a server with
// its own self-signed certificate. Empty (the default) = the system's store only. Host names are
// verified either way.
void setSmtpExtraCaFile(const QString& pemPath);

class SmtpSender
{
public:
    SmtpSender();
    ~SmtpSender();
    SmtpSender(const SmtpSender&) = delete;
    SmtpSender& operator=(const SmtpSender&) = delete;

    // Sends one message from mailFrom to rcptTo (envelope addresses, already checked). On
    // failure the outcome holds a Japanese description (what failed plus the server's reply
    // line, or the system's reason; never the password) and the class of the failure.
    //
    // A connection kept from an earlier mail is reused. When the server had closed it, or
    // answered 421 before the message content was sent, the same mail goes once more over a
    // fresh connection; once DATA was sent it is never sent again.
    //
    // A connection on which a reply timed out, or which is out of step with the server (a
    // command still unanswered, or a reply nobody asked for waiting), is dropped without
    // waiting for the reply to QUIT, and the next mail connects afresh.
    SendOutcome send(const SmtpServer& server, const QString& mailFrom, const QString& rcptTo,
                     const QByteArray& message);

    // Closes the kept connection (QUIT, waiting a few seconds at most for the reply) and
    // releases the handle.
    void close();

    struct Sockets;

private:
    struct Attempt;
    Attempt perform(const SmtpServer& server, const QString& mailFrom, const QString& rcptTo,
                    const QByteArray& message);
    // Lets go of the connection without waiting for anything from the server.
    void dropConnection();
    // False when the kept connection has something to read before the next command: a late
    // reply, a notice of the server, or its end.
    bool keptConnectionIsClean() const;

    void* m_curl = nullptr; // CURL*, kept for connection reuse
    bool m_connectionKept = false;
    // The sockets of m_curl's connections; outlives m_curl, whose close callbacks update it.
    std::unique_ptr<Sockets> m_sockets;
};

} // namespace transport
