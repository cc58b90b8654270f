#include "core/transport/pop3_client.h"

#include "core/text/code_page.h"
#include "core/transport/mail_address.h"

#include <algorithm>
#include <limits>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QSslConfiguration>
#include <QSslSocket>

namespace transport {
namespace {

Pop3Timeouts& timeoutStorage()
{
    static Pop3Timeouts timeouts;
    return timeouts;
}

QList<QSslCertificate>& extraCaStorage()
{
    static QList<QSslCertificate> certificates;
    return certificates;
}

// RFC 1939 limits a reply line to 512 octets; a server sending far more is broken or hostile.
constexpr qint64 kMaxReplyLine = 8192;

// Quitting is a courtesy: the login already happened, so don't let it hold the window.
constexpr int kQuitWaitMs = 5000;

// A mail's lines may be far longer than a reply line; they are read in pieces of this size.
constexpr qint64 kDataPiece = 64 * 1024;
// How much of a mail that turned out larger than the caller's limit is read and dropped to
// keep the session usable; a server sending more than that is given up on.
constexpr qint64 kMaxDrain = 64 * 1024 * 1024;
// No real mailbox lists this many mails; a server that does is sending garbage without end.
constexpr qsizetype kMaxListLines = 1000000;

// A line of a multi-line reply without its line end.
QByteArray bareLine(QByteArray line)
{
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

bool isTerminator(const QByteArray& piece)
{
    return piece == ".\r\n" || piece == ".\n";
}

// Message numbers and sizes: plain decimal digits, nothing else.
bool parseNumber(const QByteArray& text, qint64* value)
{
    if (text.isEmpty() || text.size() > 18 ||
        !std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *value = text.toLongLong();
    return true;
}

// "<number> <rest>" of a UIDL or LIST line, split at single spaces.
bool splitListLine(const QByteArray& line, qint64* number, QByteArray* rest)
{
    const qsizetype blank = line.indexOf(' ');
    if (blank <= 0 || !parseNumber(line.left(blank), number) || *number < 1 ||
        *number > std::numeric_limits<int>::max())
        return false;
    *rest = line.mid(blank + 1);
    return true;
}

// RFC 1939: 1 to 70 characters from 0x21 to 0x7E.
bool validUid(const QByteArray& uid)
{
    return !uid.isEmpty() && uid.size() <= 70 &&
           std::all_of(uid.cbegin(), uid.cend(), [](char c) { return c >= 0x21 && c <= 0x7e; });
}

QString replyText(const QByteArray& line)
{
    QString text = codepage::serverText(line);
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    return text;
}

QString socketReason(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return QStringLiteral("接続が拒否されました");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("サーバーが接続を切断しました");
    case QAbstractSocket::HostNotFoundError: return QStringLiteral("ホストが見つかりません");
    case QAbstractSocket::SocketTimeoutError: return QStringLiteral("タイムアウトしました");
    case QAbstractSocket::NetworkError: return QStringLiteral("ネットワークエラーです");
    case QAbstractSocket::SslHandshakeFailedError:
        return QStringLiteral("TLSのハンドシェイクに失敗しました");
    default: return QStringLiteral("通信エラーです");
    }
}

} // namespace

Pop3Timeouts pop3Timeouts()
{
    return timeoutStorage();
}

Pop3Timeouts setPop3Timeouts(const Pop3Timeouts& timeouts)
{
    const Pop3Timeouts previous = timeoutStorage();
    timeoutStorage() = timeouts;
    return previous;
}

void setPop3ExtraCaCertificates(const QList<QSslCertificate>& certificates)
{
    extraCaStorage() = certificates;
}

QString apopTimestamp(const QString& greeting)
{
    static const QRegularExpression stamp(QStringLiteral("<[^<>\\s]+@[^<>\\s]+>"));
    const QRegularExpressionMatch match = stamp.match(greeting);
    return match.hasMatch() ? match.captured(0) : QString();
}

QString apopDigest(const QString& timestamp, const QString& password)
{
    return QString::fromLatin1(
        QCryptographicHash::hash((timestamp + password).toUtf8(), QCryptographicHash::Md5).toHex());
}

bool unsafeInPop3Command(const QString& text)
{
    // Stricter than the SMTP addresses: C1 controls are refused as well.
    return hasControlCharacter(text) || std::any_of(text.cbegin(), text.cend(), [](QChar c) {
               return c.unicode() >= 0x80 && c.unicode() <= 0x9f;
           });
}

Pop3Client::Pop3Client() = default;

Pop3Client::~Pop3Client()
{
    if (m_socket)
        m_socket->abort();
}

bool Pop3Client::isEncrypted() const
{
    return m_socket && m_socket->isEncrypted();
}

QString Pop3Client::serverName() const
{
    if (m_endpoint.host.contains(QLatin1Char(':')))
        return QStringLiteral("[%1]:%2").arg(m_endpoint.host).arg(m_endpoint.port);
    return QStringLiteral("%1:%2").arg(m_endpoint.host).arg(m_endpoint.port);
}

QString Pop3Client::socketFailure(const QString& what) const
{
    return QStringLiteral("POP3サーバー %1 %2: %3 (%4)")
        .arg(serverName(), what, socketReason(m_socket->error()), m_socket->errorString());
}

QString Pop3Client::tlsFailure() const
{
    const QList<QSslError> errors = m_socket->sslHandshakeErrors();
    if (!errors.isEmpty()) {
        QStringList reasons;
        for (const QSslError& error : errors)
            reasons << error.errorString();
        return QStringLiteral("POP3サーバー %1 の証明書を検証できませんでした: %2")
            .arg(serverName(), reasons.join(QStringLiteral("; ")));
    }
    return QStringLiteral("POP3サーバー %1 とTLSで通信できませんでした: %2 (%3)")
        .arg(serverName(), socketReason(m_socket->error()), m_socket->errorString());
}

int Pop3Client::waitMs(int stepMs) const
{
    if (m_deadline.isForever())
        return stepMs;
    return int(std::clamp<qint64>(m_deadline.remainingTime(), 0, stepMs));
}

bool Pop3Client::open(const Pop3Endpoint& endpoint, QString* errorText)
{
    m_endpoint = endpoint;
    m_greeting.clear();
    m_loggedIn = false;
    m_deadline = QDeadlineTimer(pop3Timeouts().loginMs);
    if (!connectSocket(errorText))
        return false;

    QByteArray line;
    if (!readLine(&line, pop3Timeouts().replyMs, errorText))
        return false;
    m_greeting = replyText(line);
    if (!m_greeting.startsWith(QLatin1String("+OK"))) {
        *errorText = QStringLiteral("POP3サーバー %1 が接続を受け付けませんでした: %2")
                         .arg(serverName(), m_greeting);
        m_socket->abort();
        return false;
    }
    if (m_endpoint.security == Pop3Endpoint::Security::StartTls && !startTls(errorText)) {
        m_socket->abort();
        return false;
    }
    return true;
}

bool Pop3Client::connectSocket(QString* errorText)
{
    const bool tls = m_endpoint.security != Pop3Endpoint::Security::None;
    if (tls && !QSslSocket::supportsSsl()) {
        *errorText =
            QStringLiteral("TLSを使えません (TLSライブラリが見つかりません)。POP3サーバー %1 "
                           "に接続できませんでした。")
                .arg(serverName());
        return false;
    }
    m_socket = std::make_unique<QSslSocket>();
    // Peer verification against the system's trust store and the host name is Qt's default
    // for clients; say so here so that nobody loosens it by accident.
    m_socket->setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!extraCaStorage().isEmpty()) {
        QSslConfiguration configuration = m_socket->sslConfiguration();
        configuration.addCaCertificates(extraCaStorage());
        m_socket->setSslConfiguration(configuration);
    }

    const int connectMs = waitMs(pop3Timeouts().connectMs);
    if (m_endpoint.security == Pop3Endpoint::Security::ImplicitTls) {
        m_socket->connectToHostEncrypted(m_endpoint.host, m_endpoint.port);
        if (!m_socket->waitForEncrypted(connectMs)) {
            const bool reachedServer =
                m_socket->state() == QAbstractSocket::ConnectedState ||
                !m_socket->sslHandshakeErrors().isEmpty() ||
                m_socket->error() == QAbstractSocket::SslHandshakeFailedError;
            *errorText = reachedServer ? tlsFailure()
                                       : socketFailure(QStringLiteral("に接続できませんでした"));
            m_socket->abort();
            return false;
        }
        return true;
    }

    m_socket->connectToHost(m_endpoint.host, m_endpoint.port);
    if (!m_socket->waitForConnected(connectMs)) {
        *errorText = socketFailure(QStringLiteral("に接続できませんでした"));
        m_socket->abort();
        return false;
    }
    return true;
}

bool Pop3Client::startTls(QString* errorText)
{
    QString reply;
    if (!command("STLS", &reply, errorText)) {
        if (!reply.isEmpty())
            *errorText = QStringLiteral("POP3サーバー %1 がSTLSに対応していないため、暗号化できま"
                                        "せんでした (pop3:// はSTLSが必須です): %2")
                             .arg(serverName(), reply);
        return false;
    }
    m_socket->startClientEncryption();
    if (!m_socket->waitForEncrypted(waitMs(pop3Timeouts().replyMs))) {
        *errorText = tlsFailure();
        return false;
    }
    return true;
}

bool Pop3Client::login(const QString& user, const QString& password, Method method,
                       QString* errorText)
{
    if (unsafeInPop3Command(user)) {
        *errorText = QStringLiteral("POP3のユーザー名に使用できない制御文字 (改行など) が含まれて"
                                    "いるため、ログインしませんでした。");
        return false;
    }
    if (unsafeInPop3Command(password)) {
        *errorText = QStringLiteral("POP3のパスワードに使用できない制御文字 (改行など) が含まれて"
                                    "いるため、ログインしませんでした。");
        return false;
    }
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
        *errorText = QStringLiteral("POP3サーバーに接続していません。");
        return false;
    }

    const QString methodName =
        method == Method::Apop ? QStringLiteral("APOP") : QStringLiteral("USER/PASS");
    QString reply;
    bool ok = false;
    if (method == Method::Apop) {
        const QString timestamp = apopTimestamp(m_greeting);
        if (timestamp.isEmpty()) {
            *errorText = QStringLiteral("POP3サーバー %1 はAPOPに対応していません "
                                        "(挨拶にタイムスタンプがありません): %2")
                             .arg(serverName(), m_greeting);
            return false;
        }
        ok = command("APOP " + user.toUtf8() + ' ' + apopDigest(timestamp, password).toLatin1(),
                     &reply, errorText);
    } else {
        ok = command("USER " + user.toUtf8(), &reply, errorText);
        if (ok)
            ok = command("PASS " + password.toUtf8(), &reply, errorText);
    }
    if (ok) {
        m_loggedIn = true;
        // The login's deadline is spent; reading the mailbox is bounded per reply instead.
        m_deadline = QDeadlineTimer(QDeadlineTimer::Forever);
        return true;
    }
    if (!reply.isEmpty()) {
        *errorText = QStringLiteral("POP3の認証に失敗しました (%1、ユーザー %2): %3")
                         .arg(methodName, user, reply);
    }
    // A server that echoes what it was sent must not make the password show up on screen or
    // in a log. Very short passwords would blank out ordinary words, and are left alone.
    if (password.size() >= 4)
        errorText->replace(password, QStringLiteral("****"));
    return false;
}

void Pop3Client::quit()
{
    m_loggedIn = false;
    if (!m_socket)
        return;
    if (m_socket->state() == QAbstractSocket::ConnectedState) {
        // The login is over; the goodbye has a short deadline of its own.
        m_deadline = QDeadlineTimer(kQuitWaitMs);
        m_socket->write("QUIT\r\n");
        if (m_socket->waitForBytesWritten(kQuitWaitMs)) {
            QByteArray line;
            QString ignored;
            readLine(&line, qMin(kQuitWaitMs, pop3Timeouts().replyMs), &ignored);
        }
        m_socket->disconnectFromHost();
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->waitForDisconnected(qMin(1000, pop3Timeouts().replyMs));
    }
    m_socket->abort();
    m_socket.reset();
}

bool Pop3Client::sendLine(const QByteArray& line, QString* errorText)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        *errorText = socketFailure(QStringLiteral("との接続が切れています"));
        return false;
    }
    m_socket->write(line + "\r\n");
    QDeadlineTimer deadline(waitMs(pop3Timeouts().replyMs));
    while (m_socket->bytesToWrite() > 0) {
        if (deadline.hasExpired() || !m_socket->waitForBytesWritten(deadline.remainingTime())) {
            *errorText = socketFailure(QStringLiteral("への送信に失敗しました"));
            return false;
        }
    }
    return true;
}

bool Pop3Client::readLine(QByteArray* line, int timeoutMs, QString* errorText)
{
    const auto fail = [&](const QString& text) {
        *errorText = text;
        m_socket->abort();
        return false;
    };
    // Progress does not extend the wait: a reply that trickles in a byte at a time is as
    // good as none.
    const QDeadlineTimer deadline(waitMs(timeoutMs));
    while (!m_socket->canReadLine()) {
        if (m_socket->bytesAvailable() > kMaxReplyLine)
            return fail(QStringLiteral("POP3サーバー %1 の応答が長すぎます。").arg(serverName()));
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return fail(QStringLiteral("POP3サーバー %1 が応答の途中で接続を切断しました。")
                            .arg(serverName()));
        if (deadline.hasExpired()) {
            if (m_deadline.hasExpired())
                return fail(QStringLiteral("POP3サーバー %1 へのログインが %2 秒以内に終わりません"
                                           "でした (タイムアウト)。")
                                .arg(serverName())
                                .arg(pop3Timeouts().loginMs / 1000.0));
            return fail(
                QStringLiteral(
                    "POP3サーバー %1 から %2 秒以内に応答がありませんでした (タイムアウト)。")
                    .arg(serverName())
                    .arg(timeoutMs / 1000.0));
        }
        m_socket->waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    *line = m_socket->readLine(kMaxReplyLine + 1);
    // The limit cut the line: its tail must not be read as the next reply.
    if (!line->endsWith('\n'))
        return fail(QStringLiteral("POP3サーバー %1 の応答が長すぎます。").arg(serverName()));
    return true;
}

bool Pop3Client::command(const QByteArray& line, QString* reply, QString* errorText)
{
    reply->clear();
    if (!sendLine(line, errorText))
        return false;
    QByteArray raw;
    if (!readLine(&raw, pop3Timeouts().replyMs, errorText))
        return false;
    *reply = replyText(raw);
    return reply->startsWith(QLatin1String("+OK"));
}

bool Pop3Client::requireLogin(QString* errorText) const
{
    if (m_loggedIn && m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        return true;
    *errorText = QStringLiteral("POP3サーバーにログインしていません。");
    return false;
}

bool Pop3Client::readShortLines(QList<QByteArray>* lines, QString* errorText)
{
    lines->clear();
    for (;;) {
        QByteArray raw;
        if (!readLine(&raw, pop3Timeouts().replyMs, errorText))
            return false;
        if (isTerminator(raw))
            return true;
        if (lines->size() >= kMaxListLines) {
            *errorText = QStringLiteral("POP3サーバー %1 の応答が長すぎます。").arg(serverName());
            m_socket->abort();
            return false;
        }
        QByteArray line = bareLine(raw);
        if (line.startsWith('.'))
            line.remove(0, 1);
        lines->append(line);
    }
}

bool Pop3Client::readDataPiece(QByteArray* piece, QString* errorText)
{
    const auto fail = [&](const QString& text) {
        *errorText = text;
        m_socket->abort();
        return false;
    };
    const QDeadlineTimer deadline(waitMs(pop3Timeouts().replyMs));
    for (;;) {
        const QByteArray ahead = m_socket->peek(kDataPiece);
        const qsizetype end = ahead.indexOf('\n');
        if (end >= 0 || ahead.size() >= kDataPiece) {
            *piece = m_socket->read(end >= 0 ? end + 1 : kDataPiece);
            return true;
        }
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return fail(QStringLiteral("POP3サーバー %1 が応答の途中で接続を切断しました。")
                            .arg(serverName()));
        if (deadline.hasExpired())
            return fail(
                QStringLiteral(
                    "POP3サーバー %1 から %2 秒以内に応答がありませんでした (タイムアウト)。")
                    .arg(serverName())
                    .arg(pop3Timeouts().replyMs / 1000.0));
        m_socket->waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
}

bool Pop3Client::listMailbox(QList<MailboxEntry>* entries, QString* errorText)
{
    entries->clear();
    if (!requireLogin(errorText))
        return false;
    const auto garbage = [&](const char* what, const QByteArray& line) {
        *errorText = QStringLiteral("POP3サーバー %1 の%2の応答を読み取れませんでした: %3")
                         .arg(serverName(), QLatin1String(what), replyText(line));
        return false;
    };

    QString reply;
    if (!command("UIDL", &reply, errorText)) {
        if (!reply.isEmpty())
            *errorText = QStringLiteral("POP3サーバー %1 がUIDLに対応していないため、メールボック"
                                        "スを読めませんでした: %2")
                             .arg(serverName(), reply);
        return false;
    }
    QList<QByteArray> lines;
    if (!readShortLines(&lines, errorText))
        return false;
    QMap<int, MailboxEntry> byNumber;
    QSet<QByteArray> uids;
    for (const QByteArray& line : lines) {
        qint64 number = 0;
        QByteArray uid;
        if (!splitListLine(line, &number, &uid) || !validUid(uid) || byNumber.contains(int(number)))
            return garbage("UIDL", line);
        // Two mails under one UID can't be told apart in the next session.
        if (uids.contains(uid))
            return garbage("UIDL", line);
        uids.insert(uid);
        byNumber.insert(int(number), MailboxEntry{int(number), uid, -1});
    }

    if (!command("LIST", &reply, errorText)) {
        if (!reply.isEmpty())
            *errorText = QStringLiteral("POP3サーバー %1 がLISTを受け付けませんでした: %2")
                             .arg(serverName(), reply);
        return false;
    }
    if (!readShortLines(&lines, errorText))
        return false;
    for (const QByteArray& line : lines) {
        qint64 number = 0;
        QByteArray rest;
        qint64 size = 0;
        // Anything after the size is allowed, as RFC 1939 leaves room for it.
        if (!splitListLine(line, &number, &rest) ||
            !parseNumber(rest.left(rest.indexOf(' ') < 0 ? rest.size() : rest.indexOf(' ')), &size))
            return garbage("LIST", line);
        auto entry = byNumber.find(int(number));
        if (entry == byNumber.end() || entry->size >= 0)
            return garbage("LIST", line);
        entry->size = size;
    }
    for (const MailboxEntry& entry : std::as_const(byNumber)) {
        if (entry.size < 0) {
            *errorText = QStringLiteral("POP3サーバー %1 のUIDLとLISTの応答が食い違っています "
                                        "(メール %2)。")
                             .arg(serverName())
                             .arg(entry.number);
            return false;
        }
        entries->append(entry);
    }
    return true;
}

bool Pop3Client::retrieve(int number, qint64 maxBytes, QByteArray* message, QString* errorText)
{
    message->clear();
    if (!requireLogin(errorText))
        return false;
    const auto tooLarge = [&](qint64 size) {
        *errorText = QStringLiteral("POP3サーバー %1 のメール %2 は %3 バイトあり、上限の %4 "
                                    "バイトを超えるため受信しませんでした。")
                         .arg(serverName())
                         .arg(number)
                         .arg(size)
                         .arg(maxBytes);
        return false;
    };

    const QByteArray id = QByteArray::number(number);
    QString reply;
    if (!command("LIST " + id, &reply, errorText)) {
        if (!reply.isEmpty())
            *errorText = QStringLiteral("POP3サーバー %1 にメール %2 がありません: %3")
                             .arg(serverName())
                             .arg(number)
                             .arg(reply);
        return false;
    }
    // "+OK <number> <size>"
    const QStringList fields = reply.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    qint64 listed = 0;
    if (fields.size() < 3 || fields[1] != QString::number(number) ||
        !parseNumber(fields[2].toLatin1(), &listed)) {
        *errorText = QStringLiteral("POP3サーバー %1 のLISTの応答を読み取れませんでした: %2")
                         .arg(serverName(), reply);
        return false;
    }
    if (listed > maxBytes)
        return tooLarge(listed);

    if (!command("RETR " + id, &reply, errorText)) {
        if (!reply.isEmpty())
            *errorText = QStringLiteral("POP3サーバー %1 がメール %2 を返しませんでした: %3")
                             .arg(serverName())
                             .arg(number)
                             .arg(reply);
        return false;
    }
    message->reserve(listed);
    qint64 total = 0;
    bool lineStart = true;
    for (;;) {
        QByteArray piece;
        if (!readDataPiece(&piece, errorText)) {
            message->clear();
            return false;
        }
        if (lineStart && isTerminator(piece))
            break;
        if (lineStart && piece.startsWith('.'))
            piece.remove(0, 1);
        lineStart = piece.endsWith('\n');
        total += piece.size();
        if (total <= maxBytes) {
            message->append(piece);
        } else if (total > maxBytes + kMaxDrain) {
            message->clear();
            *errorText = QStringLiteral("POP3サーバー %1 の応答が長すぎます。").arg(serverName());
            m_socket->abort();
            return false;
        }
    }
    if (total > maxBytes) {
        message->clear();
        return tooLarge(total);
    }
    return true;
}

bool Pop3Client::markDeleted(int number, QString* errorText)
{
    if (!requireLogin(errorText))
        return false;
    QString reply;
    if (command("DELE " + QByteArray::number(number), &reply, errorText))
        return true;
    if (!reply.isEmpty())
        *errorText = QStringLiteral("POP3サーバー %1 がメール %2 の削除を受け付けませんでした: %3")
                         .arg(serverName())
                         .arg(number)
                         .arg(reply);
    return false;
}

bool Pop3Client::quitAndCommit(QString* errorText)
{
    if (!requireLogin(errorText))
        return false;
    m_loggedIn = false;
    QString reply;
    const bool ok = command("QUIT", &reply, errorText);
    if (!ok) {
        const QString reason = reply.isEmpty() ? *errorText : reply;
        *errorText = QStringLiteral("POP3サーバー %1 がQUITを確認しなかったため、メールの削除が"
                                    "確定したか分かりません: %2")
                         .arg(serverName(), reason);
    }
    if (m_socket) {
        m_socket->disconnectFromHost();
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->waitForDisconnected(qMin(1000, pop3Timeouts().replyMs));
        m_socket->abort();
        m_socket.reset();
    }
    return ok;
}

} // namespace transport
