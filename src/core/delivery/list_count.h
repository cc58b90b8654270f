#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace delivery {

// Counts the recipients of a list without decoding every line: a line ends at CR, LF or
// CR LF, and a line that is empty or blank after Trim (core/text/trim.h) holds no recipient.
// A UTF-8 byte-order mark at the start is not part of the first line and makes the list UTF-8;
// otherwise it is code page 932. A line counts as the run's reader sees it once decoded, so
// bytes the code page 932 decoder turns into control characters are blanks too. Bytes may come
// in pieces of any size.
class RecipientCounter
{
public:
    void add(QByteArrayView bytes);
    // The count once every byte has been added.
    qint64 finish();

private:
    enum class Encoding { Undecided, Cp932, Utf8 };

    template <typename BlankStep> void scan(QByteArrayView bytes, BlankStep blankStep);
    void scanCp932(QByteArrayView bytes);
    void scanUtf8(QByteArrayView bytes);
    void recipientFound();

    Encoding m_encoding = Encoding::Undecided;
    QByteArray m_head;          // the first bytes, until the byte-order mark is decided
    bool m_inRecipient = false; // the current line already holds a non-blank character
    bool m_atLineStart = true;
    int m_pending = -1; // code page 932: a lead byte waiting for its second byte
    // UTF-8: the blank sequence begun on this line (ideographic space, or a byte-order mark at
    // the start of the line) and how many of its bytes have been seen.
    const uchar* m_sequence = nullptr;
    int m_matched = 0;
    qint64 m_count = 0;
};

// The recipients of the list file at path. nullopt when it cannot be read, with the reason in
// *errorText.
std::optional<qint64> CountRecipients(const QString& path, QString* errorText = nullptr);

} // namespace delivery
