#include "core/transport/mail_address.h"

#include <QUrl>

#include <algorithm>

namespace transport {

Sender splitSender(const QString& from)
{
    qsizetype open = from.lastIndexOf(QLatin1Char('<'));
    if (open < 0)
        return {QString(), from};
    QString address = from.mid(open + 1);
    qsizetype close = address.lastIndexOf(QLatin1Char('>'));
    if (close >= 0 && address.mid(close + 1).trimmed().isEmpty())
        address.truncate(close);
    return {from.left(open), address};
}

bool hasControlCharacter(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    return false;
}

bool isSingleAddress(const QString& mail)
{
    const QString address = mail.trimmed();
    if (address.isEmpty() || hasControlCharacter(address))
        return false;
    return std::none_of(address.cbegin(), address.cend(), [](QChar c) {
        return c.isSpace() || c == QLatin1Char('<') || c == QLatin1Char('>');
    });
}

std::optional<QString> envelopeAddress(const QString& text, const QString& role, QString* error)
{
    if (hasControlCharacter(text)) {
        *error = QStringLiteral("%1に改行などの制御文字が含まれているため、送信を中止しました。")
                     .arg(role);
        return std::nullopt;
    }
    QString address = text.trimmed();
    if (address.startsWith(QLatin1Char('<')) && address.endsWith(QLatin1Char('>')))
        address = address.mid(1, address.size() - 2).trimmed();
    if (address.isEmpty()) {
        *error = QStringLiteral("%1が指定されていません。").arg(role);
        return std::nullopt;
    }
    for (QChar c : address) {
        if (c.isSpace() || c == QLatin1Char('<') || c == QLatin1Char('>')) {
            *error = QStringLiteral("%1の形式が正しくありません: %2").arg(role, address);
            return std::nullopt;
        }
    }
    qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    QString local = at >= 0 ? address.left(at) : address;
    QString domain = at >= 0 ? address.mid(at + 1) : QString();
    for (QChar c : local) {
        if (c.unicode() > 0x7E) {
            *error = QStringLiteral("%1の@より前に使用できない文字が含まれています: %2")
                         .arg(role, address);
            return std::nullopt;
        }
    }
    if (at < 0)
        return address;
    if (local.isEmpty() || domain.isEmpty()) {
        *error = QStringLiteral("%1の形式が正しくありません: %2").arg(role, address);
        return std::nullopt;
    }
    if (domain.startsWith(QLatin1Char('[')) && domain.endsWith(QLatin1Char(']')))
        return address;
    // libcurl converts a Japanese domain only under a UTF-8 locale; done here whatever the
    // locale is.
    QByteArray ace = QUrl::toAce(domain);
    if (ace.isEmpty()) {
        *error = QStringLiteral("%1のドメインが正しくありません: %2").arg(role, address);
        return std::nullopt;
    }
    return local + QLatin1Char('@') + QString::fromLatin1(ace);
}

} // namespace transport
