#pragma once

#include "core/bounce/bounce_classifier.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Reading a mail that came back to the sender's mailbox: a delivery report, a bounce in plain
// words, an unsubscribe request, an auto-reply, or something else.
namespace bounce {

enum class Kind { DeliveryReport, Bounce, Unsubscribe, AutoReply, Other };

struct FailedRecipient
{
    QString address;           // the recipient as the report names it, without "rfc822;"
    QString originalRecipient; // the address the sender gave, when the report names it
    QString action;            // "failed", "delayed" (lower case); "failed" for a plain bounce
    QString status;            // the enhanced status code, or ""
    QString diagnostic;        // the remote server's reply or the bounce's words about it
    Verdict verdict = Verdict::Unknown;
};

struct ReturnedMail
{
    Kind kind = Kind::Other;
    QList<FailedRecipient> recipients; // DeliveryReport/Bounce: failed (or delayed) recipients
    QString originalMessageId;         // "<...>" of the returned original, when found
    QString unsubscribeAddress;        // Unsubscribe: whose address to suppress
    QString messageId;                 // the returned mail's own Message-ID (for the log)
    QStringList fromAddresses;         // the plain addresses of its From header
};

// mailtoTemplate: the unsubscribe mailto template as stored ("mailto:...{address}..."); empty
// when there is none, and then no mail is read as an unsubscribe request.
ReturnedMail readReturnedMail(const QByteArray& rawMessage, const QString& mailtoTemplate);

// "report", "bounce", "unsubscribe", "autoreply", "other".
QString kindName(Kind k);

} // namespace bounce
