#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

#include <optional>

// The suppression list (配信停止リスト) and the memory of the addresses a run has already sent
// to. Both compare addresses after the trimming of list lines, with the domain (after the last
// "@") in any case. They differ in the local part: the suppression list takes it in any case,
// since providers treat "A5@" and "a5@" as one mailbox and an opt-out must never be missed over
// letter case; the memory of one mail per address takes it exactly as written.
namespace bulk {

// The comparison form of an address for one mail per address: the plain address
// (bulk::PlainAddress), split at its last "@", the local part exactly as written, the domain in
// lower case and, for a Japanese domain, in its ASCII (punycode) form, so that "例え.jp" and
// "XN--R8JZ45G.JP" meet. Empty for a blank line.
QByteArray AddressKey(const QString& address);

// The comparison form of the suppression list, made from an AddressKey: the local part in any
// case too.
QByteArray SuppressionKey(QByteArray addressKey);

// The encoding a suppression list file was read in: an address added to it is written in the
// same one, so that the operator's editor still opens the file as before.
enum class ListEncoding { Utf16LE, Utf16BE, Utf8Bom, Utf8, Cp932 };

class SuppressionList
{
public:
    SuppressionList() = default;

    // Reads the whole file once, one address per line, lines ending at CR, LF or CR LF. The
    // file is UTF-16 with a byte-order mark (what Notepad saves as "Unicode"), UTF-8 with or
    // without one, or code page 932; each is read strictly. Blank lines and comment lines (the
    // first character after the trimming is "#") are skipped. Refused, so that no run starts
    // believing it has a list that matches nobody: a file that is not a regular file, one
    // holding NUL bytes or bytes that none of the encodings reads, and a non-empty one in which
    // no line looks like an address (an "@" with something on both sides). On refusal nullopt
    // and, in *error, a message that names the file and the reason.
    static std::optional<SuppressionList> read(const QString& path, QString* error);

    bool contains(const QString& address) const;
    // The same for an address already in its AddressKey form.
    bool containsKey(const QByteArray& addressKey) const;
    qsizetype size() const { return m_keys.size(); }
    ListEncoding encoding() const { return m_encoding; }
    // Lists the address in memory (AppendToSuppressionList does so with what it wrote).
    void add(const QString& address);

private:
    QSet<QByteArray> m_keys; // SuppressionKey forms
    ListEncoding m_encoding = ListEncoding::Utf8;
};

enum class AppendResult { Added, AlreadyListed, Failed };

// Adds one address to the suppression list file as a line of its own at the end: in the
// file's encoding and with its kind of line end (CR LF unless the file uses another), one
// append of the whole line that is synced to disk before this returns. The lines already there
// are never touched, so a hand-kept list keeps its comments and order. The file is read whole
// first: one that can't be read is not written to, and an address it holds already is not
// added twice. Failed with *error naming the file and the reason. known: the list as read
// before (a run of appends reads a long list once, not once per address); it learns the
// address added.
AppendResult AppendToSuppressionList(const QString& path, const QString& address, QString* error,
                                     SuppressionList* known = nullptr);

// The addresses one run has already sent to.
class SentAddresses
{
public:
    bool contains(const QString& address) const;
    bool containsKey(const QByteArray& key) const { return m_keys.contains(key); }
    // A blank address is not remembered.
    void remember(const QString& address);

private:
    QSet<QByteArray> m_keys; // AddressKey forms
};

} // namespace bulk
