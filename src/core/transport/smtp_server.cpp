#include "core/transport/smtp_server.h"

#include "core/transport/mail_address.h"

#include <QUrl>

namespace transport {
namespace {

bool parsePort(const QString& text, int* port)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (QChar c : text)
        if (!c.isDigit() || c.unicode() > 0x7f)
            return false;
    int value = text.toInt();
    if (value < 1 || value > 65535)
        return false;
    *port = value;
    return true;
}

QString invalid(const QString& shown)
{
    return QStringLiteral("SMTPサーバーの指定が正しくありません: %1").arg(shown);
}

// Fills host/aceHost from a host text (brackets already removed for IPv6).
bool setHost(SmtpServer& server, const QString& host)
{
    if (host.isEmpty() || hasControlCharacter(host) || host.contains(QLatin1Char(' ')) ||
        host.contains(QLatin1Char('/')) || host.contains(QLatin1Char('@')))
        return false;
    server.host = host;
    if (host.contains(QLatin1Char(':'))) {
        // An IPv6 literal.
        server.aceHost = host;
        return true;
    }
    // libcurl converts a Japanese domain to punycode only under a UTF-8 locale, so it is done
    // here, whatever the locale.
    QByteArray ace = QUrl::toAce(host);
    if (ace.isEmpty())
        return false;
    server.aceHost = QString::fromLatin1(ace);
    return true;
}

} // namespace

QString SmtpServer::curlUrl(const QString& ehloDomain) const
{
    QString scheme =
        security == Security::ImplicitTls ? QStringLiteral("smtps") : QStringLiteral("smtp");
    QString hostPart = aceHost.contains(QLatin1Char(':'))
                           ? QLatin1Char('[') + aceHost + QLatin1Char(']')
                           : aceHost;
    return QStringLiteral("%1://%2:%3/%4").arg(scheme, hostPart).arg(port).arg(ehloDomain);
}

QString SmtpServer::displayName() const
{
    QString hostPart =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return QStringLiteral("%1:%2").arg(hostPart).arg(port);
}

std::optional<SmtpServer> parseSmtpServer(const QString& value, QString* error)
{
    QString text = value.trimmed();
    SmtpServer server;
    if (text.isEmpty()) {
        *error = QStringLiteral("SMTPサーバーが指定されていません。");
        return std::nullopt;
    }

    qsizetype schemeEnd = text.indexOf(QLatin1String("://"));
    if (schemeEnd < 0) {
        // A user part only works with a scheme; whatever stands before "@" may be a password
        // and is not repeated.
        if (text.contains(QLatin1Char('@'))) {
            *error = QStringLiteral(
                         "SMTPサーバーの指定が正しくありません (ユーザー名とパスワードは "
                         "smtp://ユーザー名:パスワード@サーバー名:ポート の形で指定します): %1")
                         .arg(text.mid(text.lastIndexOf(QLatin1Char('@')) + 1));
            return std::nullopt;
        }
        QString host = text;
        QString portText;
        if (text.startsWith(QLatin1Char('['))) {
            qsizetype close = text.indexOf(QLatin1Char(']'));
            if (close < 0) {
                *error = invalid(text);
                return std::nullopt;
            }
            host = text.mid(1, close - 1);
            QString rest = text.mid(close + 1);
            if (!rest.isEmpty()) {
                if (!rest.startsWith(QLatin1Char(':'))) {
                    *error = invalid(text);
                    return std::nullopt;
                }
                portText = rest.mid(1);
                if (!parsePort(portText, &server.port)) {
                    *error = invalid(text);
                    return std::nullopt;
                }
            }
        } else if (text.count(QLatin1Char(':')) == 1) {
            qsizetype colon = text.indexOf(QLatin1Char(':'));
            host = text.left(colon);
            if (!parsePort(text.mid(colon + 1), &server.port)) {
                *error = invalid(text);
                return std::nullopt;
            }
        }
        if (!setHost(server, host)) {
            *error = invalid(text);
            return std::nullopt;
        }
        return server;
    }

    QString scheme = text.left(schemeEnd).toLower();
    if (scheme == QLatin1String("smtps")) {
        server.security = SmtpServer::Security::ImplicitTls;
        server.port = 465;
    } else if (scheme == QLatin1String("smtp")) {
        server.security = SmtpServer::Security::StartTls;
        server.port = 25;
    } else {
        *error = QStringLiteral(
                     "SMTPサーバーの指定が正しくありません (smtp:// か smtps:// を使います): %1")
                     .arg(scheme + QLatin1String("://"));
        return std::nullopt;
    }

    // The user part may hold the password: error texts from here on show only host and port.
    QString rest = text.mid(schemeEnd + 3);
    qsizetype at = rest.lastIndexOf(QLatin1Char('@'));
    QString userInfo = at >= 0 ? rest.left(at) : QString();
    QString hostPort = at >= 0 ? rest.mid(at + 1) : rest;
    while (hostPort.endsWith(QLatin1Char('/')))
        hostPort.chop(1);
    QString shown = scheme + QLatin1String("://") + hostPort;

    if (at >= 0) {
        qsizetype colon = userInfo.indexOf(QLatin1Char(':'));
        QString user = colon >= 0 ? userInfo.left(colon) : userInfo;
        QString password = colon >= 0 ? userInfo.mid(colon + 1) : QString();
        server.user = QUrl::fromPercentEncoding(user.toUtf8());
        server.password = QUrl::fromPercentEncoding(password.toUtf8());
        if (server.user.isEmpty() || hasControlCharacter(server.user) ||
            hasControlCharacter(server.password)) {
            *error = QStringLiteral(
                         "SMTPサーバーのユーザー名またはパスワードの指定が正しくありません: %1")
                         .arg(shown);
            return std::nullopt;
        }
    }

    QString host = hostPort;
    if (hostPort.startsWith(QLatin1Char('['))) {
        qsizetype close = hostPort.indexOf(QLatin1Char(']'));
        if (close < 0) {
            *error = invalid(shown);
            return std::nullopt;
        }
        host = hostPort.mid(1, close - 1);
        QString after = hostPort.mid(close + 1);
        if (!after.isEmpty() &&
            (!after.startsWith(QLatin1Char(':')) || !parsePort(after.mid(1), &server.port))) {
            *error = invalid(shown);
            return std::nullopt;
        }
    } else {
        qsizetype colon = hostPort.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0) {
            host = hostPort.left(colon);
            if (!parsePort(hostPort.mid(colon + 1), &server.port)) {
                *error = invalid(shown);
                return std::nullopt;
            }
        }
    }
    if (!setHost(server, host)) {
        *error = invalid(shown);
        return std::nullopt;
    }
    return server;
}

} // namespace transport
