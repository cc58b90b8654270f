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

// One POP3 session used for "POP before SMTP": connect, log in, quit. It reads no mail.
// Every call blocks with the time-outs above; failures come back as a Japanese description.
class Pop3Client
{
public:
    enum class Method { UserPass, Apop };

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
    // The wait for one step: stepMs, cut to what is left of the login's deadline.
    int waitMs(int stepMs) const;
    // Sends a command and reads its one-line reply; false unless the reply is "+OK".
    bool command(const QByteArray& line, QString* reply, QString* errorText);
    QString serverName() const;
    QString socketFailure(const QString& what) const;
    // Why a TLS handshake failed: the certificate's faults, else the connection's.
    QString tlsFailure() const;

    std::unique_ptr<QSslSocket> m_socket;
    Pop3Endpoint m_endpoint;
    QString m_greeting;
    QDeadlineTimer m_deadline; // of the whole login, from open() on
};

} // namespace transport
