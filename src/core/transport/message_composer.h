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
};

// ISO-2022-JP as Windows writes it (the CP50220/CP50221 family): JIS X 0208 plus the NEC
// special characters (row 13, e.g. ①, ㈱) and the NEC-selected IBM extensions (rows 89-92,
// e.g. 髙). Returns nullopt when a character has no place in it, including half-width katakana,
// which are never replaced by their full-width forms. Ends in ASCII mode.
std::optional<QByteArray> encodeIso2022Jp(QStringView text);

// ISO-2022-JP when every character of all three fits, else UTF-8.
MailCharset chooseCharset(const QString& subject, const QString& name, const QString& body);

// RFC 2047 encoded words ("B" encoding) for text, folded so that no line is longer than 78
// characters; usedOnFirstLine is how much of the first line the header name already takes.
// Lines after the first start with one blank; lines are joined with CR LF. A word never splits
// a character, and every word is a complete ISO-2022-JP sequence of its own.
QByteArray encodeWords(const QString& text, MailCharset charset, int usedOnFirstLine);

// The entries of an attachment text: split at ",", blank entries dropped, blanks around an
// entry removed.
QStringList splitAttachmentList(const QString& attachments);

// The whole message. On failure (an attachment missing or unreadable) returns nullopt and a
// Japanese description naming the file in *error.
std::optional<QByteArray> composeMessage(const OutgoingMail& mail, QString* error);

} // namespace transport
