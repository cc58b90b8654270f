#include "core/transport/pop3_endpoint.h"

#include <QUrl>

namespace transport {
namespace {

bool hasBlankOrControl(const QString& text)
{
    for (QChar c : text) {
        if (c.unicode() <= 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

bool parsePort(const QString& text, quint16* port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return false;
    *port = static_cast<quint16>(value);
    return true;
}

// The value as it may be shown: an account written into a URL loses its password (and user).
QString shownValue(const QString& value)
{
    const qsizetype schemeEnd = value.indexOf(QLatin1String("://"));
    if (schemeEnd < 0)
        return value;
    const qsizetype authority = schemeEnd + 3;
    qsizetype authorityEnd = value.indexOf(QLatin1Char('/'), authority);
    if (authorityEnd < 0)
        authorityEnd = value.size();
    const qsizetype at = value.lastIndexOf(QLatin1Char('@'), authorityEnd - 1);
    if (at < authority)
        return value;
    return value.left(authority) + QStringLiteral("***@") + value.mid(at + 1);
}

QString badValue(const QString& value, const QString& why)
{
    return QStringLiteral("POP3サーバーの指定が正しくありません (%1): %2")
        .arg(why, shownValue(value));
}

} // namespace

bool parsePop3Server(const QString& raw, Pop3Endpoint* endpoint, QString* errorText)
{
    const QString value = raw.trimmed();
    Pop3Endpoint result;
    if (value.isEmpty()) {
        *errorText = QStringLiteral("POP3サーバーが指定されていません。");
        return false;
    }

    const qsizetype schemeEnd = value.indexOf(QLatin1String("://"));
    if (schemeEnd >= 0) {
        const QString scheme = value.left(schemeEnd).toLower();
        if (scheme == QLatin1String("pop3s")) {
            result.security = Pop3Endpoint::Security::ImplicitTls;
            result.port = 995;
        } else if (scheme == QLatin1String("pop3")) {
            result.security = Pop3Endpoint::Security::StartTls;
            result.port = 110;
        } else {
            *errorText = badValue(value, QStringLiteral("pop3:// か pop3s:// を使って下さい"));
            return false;
        }
        const QUrl url(value, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty()) {
            *errorText = badValue(value, QStringLiteral("URLとして読めません"));
            return false;
        }
        // The account comes from its own settings; a second one hidden in the URL would
        // silently lose to it.
        if (!url.userInfo().isEmpty()) {
            *errorText = badValue(
                value, QStringLiteral("ユーザー名とパスワードはURLに含めずに設定して下さい"));
            return false;
        }
        if (url.hasQuery() || url.hasFragment() ||
            (!url.path().isEmpty() && url.path() != QLatin1String("/"))) {
            *errorText =
                badValue(value, QStringLiteral("ホスト名とポート番号だけを指定して下さい"));
            return false;
        }
        result.host = url.host();
        if (url.port() != -1)
            result.port = static_cast<quint16>(url.port());
        if (url.port() == 0) {
            *errorText = badValue(value, QStringLiteral("ポート番号"));
            return false;
        }
    } else {
        QString host = value;
        if (host.startsWith(QLatin1Char('['))) {
            const qsizetype close = host.indexOf(QLatin1Char(']'));
            if (close < 0) {
                *errorText = badValue(value, QStringLiteral("] がありません"));
                return false;
            }
            const QString rest = host.mid(close + 1);
            host = host.mid(1, close - 1);
            if (!rest.isEmpty() &&
                !(rest.startsWith(QLatin1Char(':')) && parsePort(rest.mid(1), &result.port))) {
                *errorText = badValue(value, QStringLiteral("ポート番号"));
                return false;
            }
        } else if (host.count(QLatin1Char(':')) == 1) {
            const qsizetype colon = host.indexOf(QLatin1Char(':'));
            if (!parsePort(host.mid(colon + 1), &result.port)) {
                *errorText = badValue(value, QStringLiteral("ポート番号"));
                return false;
            }
            host = host.left(colon);
        }
        // More than one colon without brackets: a bare IPv6 address on the default port.
        result.host = host;
    }

    if (result.host.isEmpty() || hasBlankOrControl(result.host)) {
        *errorText = badValue(value, QStringLiteral("ホスト名"));
        return false;
    }
    *endpoint = result;
    return true;
}

} // namespace transport
