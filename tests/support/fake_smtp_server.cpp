#include "fake_smtp_server.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace testing_support {

QByteArray SmtpMessage::content() const
{
    QByteArray out;
    out.reserve(data.size());
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        end = end < 0 ? data.size() : end + 1;
        if (data.at(start) == '.')
            ++start;
        out.append(data.constData() + start, end - start);
        start = end;
    }
    return out;
}

struct FakeSmtpServer::State
{
    explicit State(FakeSmtpServer* owner) : server(owner) {}

    FakeSmtpServer* server;
    mutable std::mutex mutex; // messages, sockets and threads; the record has its own
    QList<SmtpMessage> messages;
    std::vector<int> liveSockets;

    std::atomic<bool> stopping{false};
    int listenSocket = -1;
    std::thread acceptor;
    std::vector<std::thread> workers;

    QTemporaryDir certificateDir;
    QString certificatePath;
    SSL_CTX* tls = nullptr;

    void makeCertificate();

    SmtpScript currentScript() { return server->script(); }
    void record(const QString& line) { server->record(line); }

    void acceptLoop();
    void serve(int socket, int number);
};

namespace {

// Reads lines and raw bytes from a blocking socket, giving up when the server stops.
class Connection
{
public:
    Connection(int socket, const std::atomic<bool>& stopping)
        : m_socket(socket), m_stopping(stopping)
    {
    }

    ~Connection()
    {
        if (m_ssl) {
            SSL_shutdown(m_ssl);
            SSL_free(m_ssl);
        }
    }

    // Turns the connection into a TLS one (server side); false when the handshake failed.
    bool startTls(SSL_CTX* context)
    {
        if (!context)
            return false;
        m_buffer.clear();
        m_ssl = SSL_new(context);
        SSL_set_fd(m_ssl, m_socket);
        if (SSL_accept(m_ssl) != 1) {
            ERR_clear_error();
            SSL_free(m_ssl);
            m_ssl = nullptr;
            return false;
        }
        return true;
    }
    bool isTls() const { return m_ssl != nullptr; }

    // false when the peer closed or the server stops.
    bool fill()
    {
        while (!m_stopping) {
            if (m_ssl && SSL_pending(m_ssl) > 0)
                return readSome();
            pollfd pfd{m_socket, POLLIN, 0};
            int ready = ::poll(&pfd, 1, 50);
            if (ready < 0)
                return false;
            if (ready == 0)
                continue;
            return readSome();
        }
        return false;
    }

    bool readSome()
    {
        char chunk[4096];
        ssize_t got =
            m_ssl ? SSL_read(m_ssl, chunk, sizeof chunk) : ::recv(m_socket, chunk, sizeof chunk, 0);
        if (got <= 0)
            return false;
        m_buffer.append(chunk, got);
        return true;
    }

    bool readLine(QByteArray& line)
    {
        for (;;) {
            qsizetype lf = m_buffer.indexOf('\n');
            if (lf >= 0) {
                line = m_buffer.left(lf);
                if (line.endsWith('\r'))
                    line.chop(1);
                m_buffer.remove(0, lf + 1);
                return true;
            }
            if (!fill())
                return false;
        }
    }

    // Reads the content after 354 up to the line holding a lone ".". dropAfter >= 0 ends the
    // reading (returns false) once that many content bytes have arrived.
    bool readData(QByteArray& data, int dropAfter)
    {
        for (;;) {
            qsizetype end = -1;
            if (m_buffer.startsWith(".\r\n"))
                end = 0;
            else {
                qsizetype found = m_buffer.indexOf("\r\n.\r\n");
                if (found >= 0)
                    end = found + 2;
            }
            if (dropAfter >= 0 && (end < 0 ? m_buffer.size() : end) >= dropAfter)
                return false;
            if (end >= 0) {
                data = m_buffer.left(end);
                m_buffer.remove(0, end + 3);
                return true;
            }
            if (!fill())
                return false;
        }
    }

    void waitForClose()
    {
        while (fill())
            m_buffer.clear();
    }

    bool send(const QByteArray& bytes)
    {
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = m_ssl ? SSL_write(m_ssl, bytes.constData() + sent, int(bytes.size() - sent))
                              : ::send(m_socket, bytes.constData() + sent, bytes.size() - sent,
                                       MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += n;
        }
        return true;
    }

private:
    int m_socket;
    SSL* m_ssl = nullptr;
    const std::atomic<bool>& m_stopping;
    QByteArray m_buffer;
};

QByteArray angleContent(const QByteArray& argument)
{
    qsizetype open = argument.indexOf('<');
    qsizetype close = argument.lastIndexOf('>');
    if (open < 0 || close < open)
        return argument.trimmed();
    return argument.mid(open + 1, close - open - 1);
}

} // namespace

void FakeSmtpServer::State::acceptLoop()
{
    while (!stopping) {
        pollfd pfd{listenSocket, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0)
            continue;
        int client = ::accept(listenSocket, nullptr, nullptr);
        if (client < 0)
            continue;
        const int number = server->recordConnect();
        {
            std::lock_guard lock(mutex);
            liveSockets.push_back(client);
            workers.emplace_back([this, client, number] { serve(client, number); });
        }
    }
}

void FakeSmtpServer::State::serve(int socket, int number)
{
    // TLS alerts may be written to a socket the client already closed; that must end this
    // connection, not the test process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    Connection conn(socket, stopping);
    SmtpScript s = currentScript();

    auto silent = [&](const char* point) {
        s = currentScript();
        return !s.silentFrom.isEmpty() && s.silentFrom == point;
    };
    // Sends a reply (possibly multi-line, joined by "\r\n"); false when the connection must end.
    auto pause = [&](int ms) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stopping && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    auto reply = [&](const QByteArray& text) {
        pause(s.replyDelayMs);
        for (const QByteArray& line : text.split('\n'))
            record(QStringLiteral("S: ") + QString::fromUtf8(line.trimmed()));
        QByteArray wire = text;
        wire.replace("\r\n", "\n");
        wire.replace("\n", "\r\n");
        return conn.send(wire + "\r\n") && !text.startsWith("421");
    };

    auto run = [&] {
        if (s.implicitTls && !conn.startTls(tls)) {
            record(QStringLiteral("* TLS handshake failed"));
            return;
        }
        if (silent("CONNECT"))
            return conn.waitForClose();
        if (!reply(s.greeting) || !s.greeting.startsWith('2'))
            return;
        int transactions = 0;
        int accepted = 0;
        SmtpMessage current;
        bool inTransaction = false;
        QByteArray user; // after a successful AUTH
        QByteArray line;
        const bool tlsWanted = s.offerStartTls || s.implicitTls;
        while (conn.readLine(line)) {
            QByteArray verb = line.left(4).toUpper();
            record(QStringLiteral("C: ") +
                   (verb == "AUTH" ? QStringLiteral("AUTH PLAIN ****") : QString::fromUtf8(line)));
            QByteArray argument = line.mid(line.indexOf(':') + 1);
            if (verb == "EHLO" || verb == "HELO") {
                if (silent("EHLO"))
                    return conn.waitForClose();
                QByteArray text = "250";
                QList<QByteArray> capabilities = s.ehloCapabilities;
                if (s.offerStartTls && !conn.isTls())
                    capabilities.append("STARTTLS");
                if (!s.authUser.isEmpty() && (conn.isTls() || !tlsWanted))
                    capabilities.append("AUTH PLAIN");
                if (verb == "EHLO" && !capabilities.isEmpty()) {
                    text = "250-fake.smtp.test";
                    for (int i = 0; i < capabilities.size(); ++i)
                        text += (i + 1 < capabilities.size() ? "\n250-" : "\n250 ") +
                                capabilities.at(i);
                } else {
                    text += " fake.smtp.test";
                }
                if (!reply(text))
                    return;
            } else if (verb == "STAR" && s.offerStartTls && !conn.isTls()) {
                if (!reply("220 2.0.0 Ready to start TLS"))
                    return;
                if (!conn.startTls(tls)) {
                    record(QStringLiteral("* TLS handshake failed"));
                    return;
                }
                record(QStringLiteral("* TLS started"));
            } else if (verb == "AUTH" && !s.authUser.isEmpty() && (conn.isTls() || !tlsWanted)) {
                QByteArray response = line.simplified().split(' ').value(2);
                if (response.isEmpty()) {
                    if (!reply("334 "))
                        return;
                    if (!conn.readLine(response))
                        return;
                    record(QStringLiteral("C: ****"));
                }
                // authzid NUL authcid NUL password
                QList<QByteArray> parts = QByteArray::fromBase64(response).split('\0');
                if (parts.size() == 3 && parts.at(1) == s.authUser &&
                    parts.at(2) == s.authPassword) {
                    user = parts.at(1);
                    if (!reply("235 2.7.0 Authentication successful"))
                        return;
                } else if (!reply("535 5.7.8 Authentication credentials invalid")) {
                    return;
                }
            } else if (verb == "MAIL") {
                if (silent("MAIL"))
                    return conn.waitForClose();
                if (!s.authUser.isEmpty() && user.isEmpty()) {
                    if (!reply("530 5.7.0 Authentication required"))
                        return;
                    continue;
                }
                ++transactions;
                if (s.dropAtTransaction > 0 && transactions >= s.dropAtTransaction) {
                    record(QStringLiteral("* server closes without a reply"));
                    return;
                }
                if (s.reject421AtTransaction > 0 && transactions >= s.reject421AtTransaction) {
                    reply("421 4.3.2 Too many messages on this connection");
                    return;
                }
                QByteArray text = s.mailReply.isEmpty() ? QByteArray("250 2.1.0 Ok") : s.mailReply;
                inTransaction = text.startsWith('2');
                current = SmtpMessage();
                current.connection = number;
                current.overTls = conn.isTls();
                current.authenticatedUser = user;
                current.mailFrom = angleContent(argument);
                if (!reply(text))
                    return;
            } else if (verb == "RCPT") {
                if (silent("RCPT"))
                    return conn.waitForClose();
                QByteArray address = angleContent(argument);
                QByteArray text = s.rcptReply.isEmpty() ? QByteArray("250 2.1.5 Ok") : s.rcptReply;
                for (auto it = s.rejectRecipients.cbegin(); it != s.rejectRecipients.cend(); ++it)
                    if (it.key().toLower() == address.toLower())
                        text = it.value();
                if (text.startsWith('2'))
                    current.recipients.append(address);
                if (!reply(text))
                    return;
            } else if (verb == "DATA") {
                if (silent("DATA"))
                    return conn.waitForClose();
                if (!inTransaction || current.recipients.isEmpty()) {
                    if (!reply("503 5.5.1 Error: need RCPT command"))
                        return;
                    continue;
                }
                QByteArray text = s.dataReply.isEmpty()
                                      ? QByteArray("354 End data with <CR><LF>.<CR><LF>")
                                      : s.dataReply;
                if (!reply(text))
                    return;
                if (!text.startsWith('3'))
                    continue;
                if (!conn.readData(current.data, s.dropDuringDataAfterBytes)) {
                    record(QStringLiteral("* dropped during DATA"));
                    return;
                }
                record(QStringLiteral("C: <DATA: %1 bytes>").arg(current.data.size()));
                record(QStringLiteral("C: ."));
                inTransaction = false;
                if (silent(".")) {
                    {
                        std::lock_guard lock(mutex);
                        messages.append(current);
                    }
                    return conn.waitForClose();
                }
                text =
                    s.dataEndReply.isEmpty() ? QByteArray("250 2.0.0 Ok: queued") : s.dataEndReply;
                current.accepted = text.startsWith('2');
                {
                    std::lock_guard lock(mutex);
                    messages.append(current);
                }
                pause(s.dataEndDelayMs);
                if (!reply(text))
                    return;
                if (current.accepted && s.closeAfterMessages > 0 &&
                    ++accepted >= s.closeAfterMessages) {
                    record(QStringLiteral("* server closes idle connection"));
                    return;
                }
            } else if (verb == "RSET") {
                inTransaction = false;
                if (!reply("250 2.0.0 Ok"))
                    return;
            } else if (verb == "NOOP") {
                if (!reply("250 2.0.0 Ok"))
                    return;
            } else if (verb == "QUIT") {
                if (silent("QUIT"))
                    return conn.waitForClose();
                reply("221 2.0.0 Bye");
                return;
            } else {
                if (!reply("502 5.5.2 Error: command not recognized"))
                    return;
            }
        }
    };
    run();
    ::shutdown(socket, SHUT_RDWR);
    {
        std::lock_guard lock(mutex);
        ::close(socket);
        std::erase(liveSockets, socket);
    }
    server->recordClose(number);
}

FakeSmtpServer::FakeSmtpServer() : FakeSmtpServer(SmtpScript()) {}

FakeSmtpServer::FakeSmtpServer(const SmtpScript& script) : m_state(std::make_unique<State>(this))
{
    setScript(script);
    m_state->makeCertificate();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0)
        qFatal("FakeSmtpServer: cannot listen on 127.0.0.1");
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    m_state->listenSocket = fd;
    m_port = ntohs(addr.sin_port);
    State* state = m_state.get();
    m_state->acceptor = std::thread([state] { state->acceptLoop(); });
}

FakeSmtpServer::~FakeSmtpServer()
{
    m_state->stopping = true;
    m_state->acceptor.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(m_state->mutex);
        for (int fd : m_state->liveSockets)
            ::shutdown(fd, SHUT_RDWR);
        workers.swap(m_state->workers);
    }
    for (std::thread& worker : workers)
        worker.join();
    ::close(m_state->listenSocket);
    if (m_state->tls)
        SSL_CTX_free(m_state->tls);
}

// A fresh self-signed certificate per server: an EC key (quick to make), valid for a day, for
// "localhost" only.
void FakeSmtpServer::State::makeCertificate()
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), long(QDateTime::currentSecsSinceEpoch()));
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                              std::pair{NID_subject_key_identifier, "hash"},
                              std::pair{NID_subject_alt_name, "DNS:localhost"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        X509_add_ext(certificate, extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_sign(certificate, key, EVP_sha256());

    certificatePath = QDir(certificateDir.path()).filePath(QStringLiteral("fake-smtp.pem"));
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    char* pem = nullptr;
    long size = BIO_get_mem_data(bio, &pem);
    QFile file(certificatePath);
    if (file.open(QIODevice::WriteOnly))
        file.write(pem, size);
    BIO_free(bio);

    tls = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(tls, certificate);
    SSL_CTX_use_PrivateKey(tls, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
}

QString FakeSmtpServer::certificatePath() const
{
    return m_state->certificatePath;
}

QList<SmtpMessage> FakeSmtpServer::messages() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->messages;
}

QList<SmtpMessage> FakeSmtpServer::acceptedMessages() const
{
    QList<SmtpMessage> out;
    for (const SmtpMessage& m : messages())
        if (m.accepted)
            out.append(m);
    return out;
}

void FakeSmtpServer::clearRecord()
{
    ScriptedServer::clearRecord();
    std::lock_guard lock(m_state->mutex);
    m_state->messages.clear();
}

} // namespace testing_support
