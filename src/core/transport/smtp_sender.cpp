#include "core/transport/smtp_sender.h"

#include "core/platform/system_messages.h"
#include "core/text/code_page.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostInfo>
#include <QList>
#include <QMutex>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace transport {

// libcurl's sockets are shut from outside its calls: on a failure that left the connection out
// of step, and by the watchdog of close(). The lock keeps a socket number from being shut after
// libcurl closed it and the system handed the number out again.
struct SmtpSender::Sockets
{
    std::mutex mutex;
    std::vector<curl_socket_t> open;

    void add(curl_socket_t socket)
    {
        std::lock_guard lock(mutex);
        open.push_back(socket);
    }
    int close(curl_socket_t socket)
    {
        std::lock_guard lock(mutex);
        std::erase(open, socket);
#ifdef _WIN32
        return ::closesocket(socket);
#else
        return ::close(socket);
#endif
    }
    // Ends every exchange at once: a blocked read sees the end of the stream and a write
    // fails, so libcurl stops waiting for the server.
    void shutAll()
    {
        std::lock_guard lock(mutex);
        for (curl_socket_t socket : open)
#ifdef _WIN32
            ::shutdown(socket, SD_BOTH);
#else
            ::shutdown(socket, SHUT_RDWR);
#endif
    }
    bool anyOpen()
    {
        std::lock_guard lock(mutex);
        return !open.empty();
    }
    // True when a socket has something to read, its end included.
    bool anyReadable()
    {
        std::lock_guard lock(mutex);
        for (curl_socket_t socket : open) {
#ifdef _WIN32
            WSAPOLLFD probe{socket, POLLRDNORM, 0};
            if (::WSAPoll(&probe, 1, 0) != 0)
                return true;
#else
            pollfd probe{socket, POLLIN, 0};
            if (::poll(&probe, 1, 0) != 0)
                return true;
#endif
        }
        return false;
    }
};

namespace {

// How long the reply to QUIT is waited for when a connection is closed. The mail is decided by
// then; the goodbye is a courtesy.
constexpr std::chrono::seconds kQuitWait{3};

const QString kMayHaveArrived = QStringLiteral("届いている可能性があります");

QMutex& timeoutsMutex()
{
    static QMutex mutex;
    return mutex;
}

SmtpTimeouts& timeoutStorage()
{
    static SmtpTimeouts timeouts;
    return timeouts;
}

QString& extraCaStorage()
{
    static QString path;
    return path;
}

// The name the client gives in EHLO: the machine's name when it is a plain host name.
QString ehloDomain()
{
    static const QString name = [] {
        QString host = QHostInfo::localHostName();
        if (host.isEmpty())
            return QStringLiteral("localhost");
        for (QChar c : host)
            if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != QLatin1Char('-') &&
                c != QLatin1Char('.'))
                return QStringLiteral("localhost");
        return host;
    }();
    return name;
}

// What the server said, kept from libcurl's debug stream: libcurl reports only the reply code
// in its own error texts.
struct Trace
{
    QByteArray pendingIn; // an incomplete reply line
    QList<QByteArray> replyLines;
    QByteArray lastVerb;   // the last command sent ("" before any: the greeting)
    QByteArray failedVerb; // the command the first failing reply answered
    QString failedReply;   // that reply, lines joined with a blank
    int failedCode = 0;
    int lastCode = 0;
    bool anyReply = false;
    bool dataSent = false;
    // The server said 354: content followed, so the mail may reach it whatever happens next.
    bool contentStarted = false;
    // Replies the client still waits for: a command sent and not yet answered, the greeting of
    // a new connection, or the reply to the end of the content. Above 0 after a failure, the
    // next reply on this connection would answer the wrong command.
    int awaiting = 0;
    SmtpSender::Sockets* sockets = nullptr;
    QElapsedTimer quitSent;

    void incoming(const QByteArray& chunk)
    {
        pendingIn += chunk;
        qsizetype lf;
        while ((lf = pendingIn.indexOf('\n')) >= 0) {
            QByteArray line = pendingIn.left(lf).trimmed();
            pendingIn.remove(0, lf + 1);
            if (line.isEmpty())
                continue;
            replyLines.append(line);
            // "250-..." continues a reply, "250 ..." (or a bare code) ends it.
            if (line.size() > 3 && line.at(3) == '-')
                continue;
            replyEnded();
        }
    }

    void replyEnded()
    {
        anyReply = true;
        awaiting = std::max(0, awaiting - 1);
        QByteArray text = replyLines.join(' ');
        const QList<QByteArray> lines = std::exchange(replyLines, {});
        int code = text.left(3).toInt();
        lastCode = code;
        if (code >= 400 && failedCode == 0) {
            failedCode = code;
            failedVerb = lastVerb;
            failedReply = codepage::serverText(lines);
        }
        // After 354 the next reply answers the end of the content.
        if (lastVerb == "DATA" && code >= 300 && code < 400) {
            lastVerb = ".";
            contentStarted = true;
            awaiting = 1;
        }
    }

    // One call per command line.
    void outgoing(const QByteArray& chunk)
    {
        QByteArray line = chunk.trimmed();
        qsizetype end = line.indexOf(' ');
        QByteArray verb = (end < 0 ? line : line.left(end)).toUpper();
        if (verb.startsWith("MAIL"))
            verb = "MAIL";
        else if (verb.startsWith("RCPT"))
            verb = "RCPT";
        if (verb == "QUIT") {
            // libcurl closes a connection it can't use any more. When a reply is still
            // outstanding, the reply to QUIT could come only after a time-out (a silent
            // server) or be the wrong one: shut the socket, which ends the wait at once.
            if (awaiting > 0 && sockets)
                sockets->shutAll();
            quitSent.start();
        }
        ++awaiting;
        // A SASL continuation (after 334) still belongs to AUTH.
        if (verb.isEmpty() || (lastVerb == "AUTH" && lastCode == 334))
            return;
        // Only the verb is kept: an AUTH line carries the credentials.
        lastVerb = verb;
        if (verb == "DATA")
            dataSent = true;
    }
};

int debugCallback(CURL*, curl_infotype type, char* data, size_t size, void* userp)
{
    auto* trace = static_cast<Trace*>(userp);
    if (type == CURLINFO_HEADER_IN)
        trace->incoming(QByteArray(data, qsizetype(size)));
    else if (type == CURLINFO_HEADER_OUT)
        trace->outgoing(QByteArray(data, qsizetype(size)));
    return 0;
}

// A new connection starts with the server's greeting to wait for.
int socketOptionCallback(void* clientp, curl_socket_t socket, curlsocktype)
{
    auto* trace = static_cast<Trace*>(clientp);
    trace->sockets->add(socket);
    trace->awaiting = 1;
    return CURL_SOCKOPT_OK;
}

int closeSocketCallback(void* clientp, curl_socket_t socket)
{
    return static_cast<SmtpSender::Sockets*>(clientp)->close(socket);
}

// Bounds libcurl's wait for the reply to QUIT, which it otherwise gives the full time-out.
int progressCallback(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* trace = static_cast<const Trace*>(clientp);
    return trace->quitSent.isValid() &&
                   trace->quitSent.elapsed() >=
                       std::chrono::duration_cast<std::chrono::milliseconds>(kQuitWait).count()
               ? 1
               : 0;
}

struct Upload
{
    const QByteArray* data;
    qsizetype position = 0;
};

size_t readCallback(char* buffer, size_t size, size_t count, void* userp)
{
    auto* upload = static_cast<Upload*>(userp);
    qsizetype room = qsizetype(size * count);
    qsizetype n = std::min(room, upload->data->size() - upload->position);
    memcpy(buffer, upload->data->constData() + upload->position, size_t(n));
    upload->position += n;
    return size_t(n);
}

QString systemReason(long osErrno)
{
    switch (osErrno) {
    case 0: return QString();
    case ECONNREFUSED: return QStringLiteral("接続が拒否されました");
    case ETIMEDOUT: return QStringLiteral("接続がタイムアウトしました");
    case ENETUNREACH: return QStringLiteral("ネットワークに到達できません");
    case EHOSTUNREACH: return QStringLiteral("ホストに到達できません");
    case ECONNRESET: return QStringLiteral("接続がリセットされました");
    case EPIPE: return QStringLiteral("接続が切断されました");
    default: return platform::systemErrorText(int(osErrno));
    }
}

QString whatFailed(const QByteArray& verb, int code)
{
    if (code == 421)
        return QStringLiteral("SMTPサーバーが接続を打ち切りました");
    if (code == 530 && verb != "AUTH")
        return QStringLiteral(
            "SMTPサーバーが認証を求めています (smtp://ユーザー名:パスワード@サーバー名 "
            "の形で指定します)");
    if (verb.isEmpty())
        return QStringLiteral("SMTPサーバーが接続を受け付けません");
    if (verb == "EHLO" || verb == "HELO")
        return QStringLiteral("SMTPサーバーが挨拶(EHLO)を拒否しました");
    if (verb == "STARTTLS")
        return QStringLiteral("SMTPサーバーがSTARTTLSを拒否しました");
    if (verb == "AUTH")
        return QStringLiteral("SMTP認証に失敗しました");
    if (verb == "MAIL")
        return QStringLiteral("差出人アドレスが拒否されました");
    if (verb == "RCPT")
        return QStringLiteral("宛先アドレスが拒否されました");
    if (verb == "DATA")
        return QStringLiteral("メールの送信(DATA)が拒否されました");
    if (verb == ".")
        return QStringLiteral("メールの内容が受け付けられませんでした");
    return QStringLiteral("SMTPサーバーがエラーを返しました");
}

// A reply to MAIL, RCPT, DATA or the content is about this mail; a fault of this machine says
// nothing about the server; anything else means the session itself could not be had.
FailureClass failureClass(const Trace& trace, CURLcode code)
{
    if (trace.failedCode != 0 && trace.failedCode != 421) {
        const QByteArray& verb = trace.failedVerb;
        if (verb == "MAIL" || verb == "RCPT" || verb == "DATA" || verb == ".")
            return FailureClass::Transaction;
    }
    if (trace.failedCode == 0) {
        switch (code) {
        case CURLE_FAILED_INIT:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_OUT_OF_MEMORY:
        case CURLE_READ_ERROR:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM: return FailureClass::Local;
        default: break;
        }
    }
    return FailureClass::Connection;
}

} // namespace

struct SmtpSender::Attempt
{
    CURLcode code = CURLE_OK;
    Trace trace;
    long osErrno = 0;
    bool reused = false;
    QString curlText;
};

void setSmtpTimeouts(const SmtpTimeouts& timeouts)
{
    QMutexLocker lock(&timeoutsMutex());
    timeoutStorage() = timeouts;
}

SmtpTimeouts smtpTimeouts()
{
    QMutexLocker lock(&timeoutsMutex());
    return timeoutStorage();
}

void setSmtpExtraCaFile(const QString& pemPath)
{
    QMutexLocker lock(&timeoutsMutex());
    extraCaStorage() = pemPath;
}

SmtpSender::SmtpSender() : m_sockets(std::make_unique<Sockets>()) {}

SmtpSender::~SmtpSender()
{
    close();
}

void SmtpSender::close()
{
    if (!m_curl)
        return;
    // libcurl says QUIT to a kept connection and waits for the reply as long as for any
    // other; a server that stopped answering would hold the caller that long. A watchdog
    // shuts the socket after a few seconds, which ends the wait.
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog;
    if (m_sockets->anyOpen())
        watchdog = std::thread([&] {
            std::unique_lock lock(mutex);
            if (!finished.wait_for(lock, kQuitWait, [&] { return done; }))
                m_sockets->shutAll();
        });
    curl_easy_cleanup(static_cast<CURL*>(m_curl));
    m_curl = nullptr;
    m_connectionKept = false;
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    finished.notify_one();
    if (watchdog.joinable())
        watchdog.join();
}

void SmtpSender::dropConnection()
{
    if (!m_curl)
        return;
    // With its sockets shut, libcurl's QUIT fails at once instead of waiting for a reply.
    m_sockets->shutAll();
    curl_easy_cleanup(static_cast<CURL*>(m_curl));
    m_curl = nullptr;
    m_connectionKept = false;
}

bool SmtpSender::keptConnectionIsClean() const
{
    return !m_sockets->anyReadable();
}

SmtpSender::Attempt SmtpSender::perform(const SmtpServer& server, const QString& mailFrom,
                                        const QString& rcptTo, const QByteArray& message)
{
    if (!m_curl)
        m_curl = curl_easy_init();
    CURL* curl = static_cast<CURL*>(m_curl);
    // A reset keeps the live connections of the handle, so reuse survives it.
    curl_easy_reset(curl);

    Attempt attempt;
    attempt.trace.sockets = m_sockets.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const SmtpTimeouts timeouts = smtpTimeouts();
    const QByteArray url = server.curlUrl(ehloDomain()).toUtf8();
    const QByteArray from = '<' + mailFrom.toUtf8() + '>';
    const QByteArray to = '<' + rcptTo.toUtf8() + '>';
    curl_slist* recipients = curl_slist_append(nullptr, to.constData());
    Upload upload{&message};

    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readCallback);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(message.size()));
    curl_easy_setopt(curl, CURLOPT_USE_SSL,
                     server.security == SmtpServer::Security::StartTls ? long(CURLUSESSL_ALL)
                                                                       : long(CURLUSESSL_NONE));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    QByteArray extraCa;
    {
        QMutexLocker lock(&timeoutsMutex());
        extraCa = QFile::encodeName(extraCaStorage());
    }
    // The bundle file is replaced; the system's certificate folder stays in use.
    if (!extraCa.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, extraCa.constData());
    QByteArray user = server.user.toUtf8();
    QByteArray password = server.password.toUtf8();
    if (!server.user.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.constData());
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(timeouts.connect.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, timeouts.lowSpeedBytesPerSecond);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, long(timeouts.lowSpeedTime.count()));
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, long(timeouts.lowSpeedTime.count()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, debugCallback);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &attempt.trace);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, socketOptionCallback);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, &attempt.trace);
    // A connection keeps the close callback it was opened with, so its data must outlive
    // the handle.
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, closeSocketCallback);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, m_sockets.get());
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &attempt.trace);

    const bool hadConnection = m_connectionKept;
    attempt.code = curl_easy_perform(curl);

    long connects = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects);
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &attempt.osErrno);
    attempt.reused = connects == 0 && hadConnection;
    attempt.curlText =
        QString::fromUtf8(errorBuffer[0] ? errorBuffer : curl_easy_strerror(attempt.code));

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, nullptr);
    curl_slist_free_all(recipients);

    // Only a connection whose every command was answered, and that failed (if at all) on a
    // reply of the server, is in step for the next mail. After a time-out, a drop or any
    // other fault of the connection itself it is let go of, unanswered reply and all.
    const bool inStep =
        attempt.trace.awaiting == 0 && (attempt.code == CURLE_OK || attempt.trace.failedCode != 0);
    if (!inStep)
        dropConnection();
    m_connectionKept = m_curl && m_sockets->anyOpen();
    return attempt;
}

SendOutcome SmtpSender::send(const SmtpServer& server, const QString& mailFrom,
                             const QString& rcptTo, const QByteArray& message)
{
    if (m_connectionKept && !keptConnectionIsClean())
        dropConnection();
    Attempt attempt = perform(server, mailFrom, rcptTo, message);
    if (attempt.code != CURLE_OK && attempt.reused && !attempt.trace.dataSent) {
        const int failed = attempt.trace.failedCode;
        const bool closedByServer =
            failed == 0 &&
            (attempt.code == CURLE_SEND_ERROR || attempt.code == CURLE_RECV_ERROR ||
             attempt.code == CURLE_GOT_NOTHING || attempt.code == CURLE_WEIRD_SERVER_REPLY);
        // The kept connection had gone stale; a fresh one gets the mail a fair chance.
        if (closedByServer || failed == 421) {
            dropConnection();
            attempt = perform(server, mailFrom, rcptTo, message);
        }
    }
    SendOutcome outcome;
    if (attempt.code == CURLE_OK) {
        outcome.ok = true;
        return outcome;
    }

    const Trace& trace = attempt.trace;
    outcome.failure = failureClass(trace, attempt.code);
    // Content went out and no reply refused it: the server may have stored the mail.
    outcome.mayHaveArrived = trace.contentStarted && trace.failedCode == 0;
    outcome.replyCode = trace.failedCode;
    const QString where = server.displayName();
    QString text;
    if (trace.failedCode != 0) {
        text = QStringLiteral("%1: %2").arg(whatFailed(trace.failedVerb, trace.failedCode),
                                            trace.failedReply);
    } else {
        switch (attempt.code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            text = QStringLiteral("SMTPサーバーが見つかりません: %1").arg(server.host);
            break;
        case CURLE_COULDNT_CONNECT: {
            QString reason = systemReason(attempt.osErrno);
            text = QStringLiteral("SMTPサーバーに接続できません (%1): %2")
                       .arg(where, reason.isEmpty() ? attempt.curlText : reason);
            break;
        }
        case CURLE_OPERATION_TIMEDOUT:
            if (trace.contentStarted)
                // The server may have taken the mail: say so, as it will not be sent again.
                text = QStringLiteral("メールの送信中にSMTPサーバーの応答がなくなりました (%1): "
                                      "タイムアウトしました (届いている可能性があります)")
                           .arg(where);
            else if (trace.anyReply)
                text =
                    QStringLiteral("SMTPサーバーの応答がなくなりました (%1): タイムアウトしました")
                        .arg(where);
            else
                text = QStringLiteral(
                           "SMTPサーバーから応答がありません (%1): 接続がタイムアウトしました")
                           .arg(where);
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_INVALIDCERTSTATUS:
            text = QStringLiteral("SMTPサーバーの証明書を検証できません (%1): %2")
                       .arg(where, attempt.curlText);
            break;
        case CURLE_SSL_CONNECT_ERROR:
            text = QStringLiteral("SMTPサーバーとTLS接続できません (%1): %2")
                       .arg(where, attempt.curlText);
            break;
        case CURLE_USE_SSL_FAILED:
            text = QStringLiteral("SMTPサーバーがSTARTTLSに対応していません (%1)").arg(where);
            break;
        case CURLE_LOGIN_DENIED:
        case CURLE_AUTH_ERROR:
            text = QStringLiteral("SMTP認証に失敗しました (%1): %2").arg(where, attempt.curlText);
            break;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY: {
            const QString reason = systemReason(attempt.osErrno);
            text = trace.dataSent
                       ? QStringLiteral("メールの送信中にSMTPサーバーとの接続が切れました (%1)")
                             .arg(where)
                       : QStringLiteral("SMTPサーバーとの接続が切れました (%1)").arg(where);
            if (!reason.isEmpty())
                text += QStringLiteral(": ") + reason;
            break;
        }
        default:
            text = QStringLiteral("メールを送信できません (%1): %2").arg(where, attempt.curlText);
            break;
        }
    }
    // The operator must not resend such a mail as a plain failure: it would arrive twice.
    if (outcome.mayHaveArrived && !text.contains(kMayHaveArrived))
        text += QStringLiteral(" (%1)").arg(kMayHaveArrived);
    if (!server.password.isEmpty()) {
        text.replace(server.password, QStringLiteral("****"));
        text.replace(QString::fromLatin1(QUrl::toPercentEncoding(server.password)),
                     QStringLiteral("****"));
    }
    outcome.errorText = text;
    return outcome;
}

} // namespace transport
