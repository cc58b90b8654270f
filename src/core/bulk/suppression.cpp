#include "core/bulk/suppression.h"

#include "core/bulk/bulk_headers.h"
#include "core/delivery/recipient_list.h"

#include <QDir>
#include <QUrl>

namespace bulk {

QByteArray AddressKey(const QString& address)
{
    const QString plain = PlainAddress(address);
    const qsizetype at = plain.lastIndexOf(QLatin1Char('@'));
    bool ascii = true;
    for (const QChar c : plain)
        ascii = ascii && c.unicode() < 0x80;
    // Nearly every address: its bytes as they are, the domain lowered in place. A list of a
    // million addresses makes a million keys at the start of a run, so this path allocates once
    // and exactly (a key lives as long as the run).
    if (ascii) {
        QByteArray key = plain.toLatin1();
        char* bytes = key.data();
        for (qsizetype i = at + 1; at >= 0 && i < key.size(); ++i) {
            if (bytes[i] >= 'A' && bytes[i] <= 'Z')
                bytes[i] = char(bytes[i] + ('a' - 'A'));
        }
        return key;
    }
    if (at < 0)
        return plain.toUtf8();
    const QStringView domain = QStringView(plain).mid(at + 1);
    const QByteArray local = QStringView(plain).left(at + 1).toUtf8();
    bool asciiDomain = true;
    for (const QChar c : domain)
        asciiDomain = asciiDomain && c.unicode() < 0x80;
    if (asciiDomain)
        return local + domain.toLatin1().toLower();
    // toAce folds case (and full-width letters) as IDNA does; a domain it refuses is still
    // compared, in lower case.
    QByteArray ace = QUrl::toAce(domain.toString());
    if (ace.isEmpty())
        ace = domain.toString().toLower().toUtf8();
    return local + ace.toLower();
}

std::optional<SuppressionList> SuppressionList::read(const QString& path, QString* error)
{
    auto refuse = [&](const QString& reason) -> std::optional<SuppressionList> {
        *error = QStringLiteral("配信停止リストを読み込めませんでした。\n%1\n%2")
                     .arg(QDir::toNativeSeparators(path), reason);
        return std::nullopt;
    };
    if (path.trimmed().isEmpty())
        return refuse(QStringLiteral("ファイルが指定されていません。"));
    QString reason;
    const std::unique_ptr<delivery::RecipientList> file =
        delivery::RecipientList::open(path, &reason);
    if (!file)
        return refuse(reason);
    // Gathered first, so that the set is sized once instead of growing step by step: a list of
    // a million addresses is read markedly faster.
    QList<QByteArray> keys;
    while (const std::optional<QString> line = file->readLine()) {
        QByteArray key = AddressKey(*line);
        if (!key.isEmpty())
            keys.append(std::move(key));
    }
    if (file->hasError())
        return refuse(file->errorString());
    SuppressionList list;
    list.m_keys.reserve(keys.size());
    for (QByteArray& key : keys)
        list.m_keys.insert(std::move(key));
    return list;
}

bool SuppressionList::contains(const QString& address) const
{
    return !m_keys.isEmpty() && m_keys.contains(AddressKey(address));
}

bool SentAddresses::contains(const QString& address) const
{
    return m_keys.contains(AddressKey(address));
}

void SentAddresses::remember(const QString& address)
{
    QByteArray key = AddressKey(address);
    if (!key.isEmpty())
        m_keys.insert(std::move(key));
}

} // namespace bulk
