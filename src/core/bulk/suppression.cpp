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
    if (at < 0)
        return plain.toUtf8();
    const QString domain = plain.mid(at + 1);
    // toAce folds case (and full-width letters) as IDNA does; a domain it refuses is still
    // compared, in lower case.
    QByteArray ace = QUrl::toAce(domain);
    if (ace.isEmpty())
        ace = domain.toLower().toUtf8();
    return plain.left(at + 1).toUtf8() + ace.toLower();
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
    SuppressionList list;
    while (const std::optional<QString> line = file->readLine()) {
        const QByteArray key = AddressKey(*line);
        if (!key.isEmpty())
            list.m_keys.insert(key);
    }
    if (file->hasError())
        return refuse(file->errorString());
    list.m_keys.squeeze();
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
    m_keys.insert(AddressKey(address));
}

} // namespace bulk
