#pragma once

#include <QString>

#include <memory>

// The seam between the windows and the network: one mail out, one POP3 login. The windows
// never call libcurl or a socket themselves; they hand requests to a MailTransport, which the
// program runs on a worker thread and tests replace with a scripted one.
namespace transport {

class MessageSigner;

// Why a mail did not go out. The run treats the classes differently: a server that fails at
// the connection level for several mails in a row is taken to be down, while a refused
// recipient says nothing about the server.
enum class FailureClass {
    None,        // the mail went out
    Local,       // refused before any connection: a bad server value, address or attachment
    Connection,  // no usable session: refused, resolve failure, time-out, TLS, greeting,
                 // authentication, a 421 or a dropped connection
    Transaction, // the server answered MAIL, RCPT, DATA or the content with 4xx/5xx
};

struct SendOutcome
{
    bool ok = false;
    // A Japanese description of the failure, empty on success. Never holds a password.
    QString errorText;
    FailureClass failure = FailureClass::None;
    // The failure came after the whole content was handed to the server, so the server may
    // have stored the mail; it is never sent a second time.
    bool mayHaveArrived = false;
    // The server's reply code that refused the mail (4xx or 5xx), 0 when none did: the journal
    // tells a refusal from a mail to try again by it.
    int replyCode = 0;
    // The Message-ID the mail was composed with, when it was composed.
    QString messageId = {};
};

struct LoginOutcome
{
    bool ok = false;
    QString errorText; // Japanese, empty on success
};

// One mail as the main window composes it; the texts are the window's, untrimmed.
struct MailRequest
{
    QString server; // the SMTP setting
    QString to;     // the recipient
    QString from;   // display name + "<" + address + ">"
    QString subject;
    QString body;        // CR LF line ends
    QString attachments; // full paths joined by ","
    QString headers;     // extra header fields for the header slot, CR LF between; or empty

    // Signs the composed mail (DKIM); null = sent unsigned.
    std::shared_ptr<const MessageSigner> signer;
};

struct Pop3Request
{
    QString server; // the POP3 setting
    QString user;
    QString password;
    bool apop = false;
};

// Implementations are used from one thread at a time, and keep their SMTP connection open
// between the mails of a run.
class MailTransport
{
public:
    virtual ~MailTransport() = default;
    virtual SendOutcome send(const MailRequest& mail) = 0;
    virtual LoginOutcome pop3Login(const Pop3Request& login) = 0;
    // Closes a kept connection. The next send connects afresh.
    virtual void closeSession() = 0;
};

} // namespace transport
