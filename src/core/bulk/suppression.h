#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

#include <optional>

// The suppression list (配信停止リスト) and the memory of the addresses a run has already sent
// to. Both compare addresses the same way: after the trimming of list lines, the domain (after
// the last "@") in any case, the local part exactly as written.
namespace bulk {

// The comparison form of an address: the plain address (bulk::PlainAddress), its domain in
// lower case and, for a Japanese domain, in its ASCII (punycode) form, so that "例え.jp" and
// "XN--R8JZ45G.JP" meet. Empty for a blank line.
QByteArray AddressKey(const QString& address);

class SuppressionList
{
public:
    SuppressionList() = default;

    // Reads the whole file once, as a recipient list is read (code page 932, or UTF-8 with a
    // byte-order mark; one address per line); blank lines are skipped. On failure nullopt and,
    // in *error, a message that names the file and the reason.
    static std::optional<SuppressionList> read(const QString& path, QString* error);

    bool contains(const QString& address) const;
    // The same for an address already in its comparison form (AddressKey).
    bool containsKey(const QByteArray& key) const { return m_keys.contains(key); }
    qsizetype size() const { return m_keys.size(); }

private:
    QSet<QByteArray> m_keys;
};

// The addresses one run has already sent to.
class SentAddresses
{
public:
    bool contains(const QString& address) const;
    bool containsKey(const QByteArray& key) const { return m_keys.contains(key); }
    // A blank address is not remembered.
    void remember(const QString& address);

private:
    QSet<QByteArray> m_keys;
};

} // namespace bulk
