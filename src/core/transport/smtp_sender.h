#pragma once

#include "core/transport/mail_transport.h"
#include "core/transport/smtp_server.h"

#include <QByteArray>
#include <QString>

#include <chrono>

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
    SendOutcome send(const SmtpServer& server, const QString& mailFrom, const QString& rcptTo,
                     const QByteArray& message);

    // Closes the kept connection (QUIT) and releases the handle.
    void close();

private:
    struct Attempt;
    Attempt perform(const SmtpServer& server, const QString& mailFrom, const QString& rcptTo,
                    const QByteArray& message, bool freshConnection);

    void* m_curl = nullptr; // CURL*, kept for connection reuse
    bool m_connectionKept = false;
};

} // namespace transport
