#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

// Builds the bytes of one mail: headers, text and attachments, with CR LF line ends and no line
// longer than 998 octets.
namespace transport {

enum class MailCharset { Iso2022Jp, Utf8 };

struct OutgoingMail
{
    QString fromName;    // display name; may be empty
    QString fromAddress; // envelope form (domain in punycode)
    QString toAddress;   // envelope form
    QString subject;
    QString body;
    QStringList attachmentPaths;
    QDateTime date;
    // Further header fields (List-Unsubscribe and the like), each without its final CR LF,
    // written after the standard ones.
    QList<QByteArray> extraHeaders;
};

// Strict ISO-2022-JP (RFC 1468 as every standard reader decodes it): ASCII and JIS X 0208 under
// ESC ( B and ESC $ B only. Returns nullopt when a character has no place in it: the NEC and IBM
// rows Windows adds (①, ㈱, 髙, ⅰ), the Windows forms of six JIS cells (～ U+FF5E, ∥ U+2225,
// － U+FF0D, ￠, ￡, ￢; the standard's 〜 U+301C, ‖, −, ¢, £, ¬ have them), half-width katakana,
// and anything outside JIS X 0208. Nothing is ever replaced by a look-alike. Ends in ASCII mode.
std::optional<QByteArray> encodeIso2022Jp(QStringView text);

// True when text, encoded as above and decoded again the standard way, comes back unchanged.
bool survivesIso2022Jp(QStringView text);

// ISO-2022-JP when subject, sender name and body all survive it and the sender name and
// subject need no more encoded words in it than in UTF-8, else UTF-8: one charset for the whole
// mail, so a reader never sees two.
MailCharset chooseCharset(const QString& subject, const QString& name, const QString& body);

// RFC 2047 encoded words ("B" encoding) for text, folded so that no line is longer than 78
// characters; usedOnFirstLine is how much of the first line the header name already takes.
// Lines after the first start with one blank; lines are joined with CR LF. A word never splits
// a character, and every word is a complete ISO-2022-JP sequence of its own. Where the text
// needs more than one word, words end at its blanks (the blank stays in the word before) unless
// a single word of the text is too long for one.
QByteArray encodeWords(const QString& text, MailCharset charset, int usedOnFirstLine);

// The entries of an attachment text: split at ",", blank entries dropped, blanks around an
// entry removed.
QStringList splitAttachmentList(const QString& attachments);

// The whole message. On failure (an attachment missing or unreadable) returns nullopt and a
// Japanese description naming the file in *error.
std::optional<QByteArray> composeMessage(const OutgoingMail& mail, QString* error);
// The Message-ID ("<...>") of the last mail this thread composed: the transport hands it on,
// so that the journal can match a bounce to the mail it returns.
QString lastComposedMessageId();

} // namespace transport
