#pragma once

#include "core/transport/pop3_endpoint.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QSslCertificate>
#include <QString>

#include <memory>

class QSslSocket;

namespace transport {

// How long a POP3 login waits. Connecting (with the TLS handshake) gets connectMs and every
// reply replyMs, and the whole login, from the connect to the reply to the password, loginMs:
// a server that trickles its replies a byte at a time can't stretch it.
struct Pop3Timeouts
{
    int connectMs = 30000;
    int replyMs = 60000;
    int loginMs = 30000;
};
Pop3Timeouts pop3Timeouts();
// Returns the previous values; tests shorten them.
Pop3Timeouts setPop3Timeouts(const Pop3Timeouts& timeouts);

// Certificates trusted in addition to the system's store. Only tests set any, to trust the
// self-signed certificate of their private server; host names are checked all the same.
void setPop3ExtraCaCertificates(const QList<QSslCertificate>& certificates);

// The "<...>" part of a greeting that offers APOP, or an empty text.
QString apopTimestamp(const QString& greeting);
// MD5 of timestamp + password, as 32 lower-case hex digits.
QString apopDigest(const QString& timestamp, const QString& password);
// True for C0 and C1 control characters and DEL: none of them can be part of a command
// argument without changing the command.
bool unsafeInPop3Command(const QString& text);

// One POP3 session: connect and log in, for "POP before SMTP" or to read the mailbox, then
// quit. Every call blocks with the time-outs above; failures come back as a Japanese
// description. After the login its deadline no longer applies: each line of a reply, and each
// 64 KiB of a longer line, must then come within replyMs of the one before, so a large mailbox
// takes as long as it needs while a server that stops sending is given up on.
class Pop3Client
{
public:
    enum class Method { UserPass, Apop };

    struct MailboxEntry
    {
        int number = 0;  // the message number of this session
        QByteArray uid;  // stays the same across sessions
        qint64 size = 0; // octets, as the server counts them
    };

    Pop3Client();
    ~Pop3Client();
    Pop3Client(const Pop3Client&) = delete;
    Pop3Client& operator=(const Pop3Client&) = delete;

    // Connects, reads the greeting and, for pop3://, switches to TLS with STLS.
    bool open(const Pop3Endpoint& endpoint, QString* errorText);
    // Uses exactly the method asked for; never falls back to the other one.
    bool login(const QString& user, const QString& password, Method method, QString* errorText);
    // Sends QUIT when connected and closes the connection. Safe to call more than once.
    void quit();

    // The mailbox after a login: UIDL and LIST merged, in message-number order. False when
    // the server refuses UIDL (without it a mail can't be recognised in the next session) or
    // replies something that can't be read.
    bool listMailbox(QList<MailboxEntry>* entries, QString* errorText);
    // One mail as the server stores it, dot-unstuffed, line ends kept. A mail over maxBytes is
    // refused: by its LIST size before RETR, or, when the server understated that, by reading
    // and dropping the rest, so the session stays usable.
    bool retrieve(int number, qint64 maxBytes, QByteArray* message, QString* errorText);
    // Marks a mail for deletion; the server deletes it only when quitAndCommit() succeeds.
    bool markDeleted(int number, QString* errorText);
    // QUIT, and true only when the server confirmed it: only then are the marked mails gone.
    // The connection is closed either way.
    bool quitAndCommit(QString* errorText);

    QString greeting() const { return m_greeting; }
    bool isEncrypted() const;

private:
    bool connectSocket(QString* errorText);
    bool startTls(QString* errorText);
    bool sendLine(const QByteArray& line, QString* errorText);
    // Reads one reply line within timeoutMs and the login's deadline. A line longer than the
    // limit, a time-out or a drop ends the connection: what follows could only be read as the
    // reply to the wrong command.
    bool readLine(QByteArray* line, int timeoutMs, QString* errorText);
    // The wait for one step: stepMs, cut to what is left of the login's deadline if one runs.
    int waitMs(int stepMs) const;
    // Sends a command and reads its one-line reply; false unless the reply is "+OK".
    bool command(const QByteArray& line, QString* reply, QString* errorText);
    bool requireLogin(QString* errorText) const;
    // The lines of a multi-line reply up to the lone ".", unstuffed, without line ends.
    bool readShortLines(QList<QByteArray>* lines, QString* errorText);
    // The next piece of a multi-line reply's data: one whole line, or a part of a long one.
    bool readDataPiece(QByteArray* piece, QString* errorText);
    QString serverName() const;
    QString socketFailure(const QString& what) const;
    // Why a TLS handshake failed: the certificate's faults, else the connection's.
    QString tlsFailure() const;

    std::unique_ptr<QSslSocket> m_socket;
    Pop3Endpoint m_endpoint;
    QString m_greeting;
    QDeadlineTimer m_deadline; // of the whole login, from open() on; forever once logged in
    bool m_loggedIn = false;
};

} // namespace transport
