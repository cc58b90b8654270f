#pragma once

#include <QString>

// What a failed delivery says about the address: one reading for the replies the transport
// gets during a session and for the failures that come back later as mail.
namespace bounce {

enum class Verdict {
    Hard,         // the address or its domain is gone or disabled
    Soft,         // a temporary failure
    DomainHealth, // refused for policy, blocking, size, a full mailbox: not the address's fault
    Ambiguous,    // a permanent failure with nothing else to go on
    Unknown,      // no failure recognised
};

// "hard", "soft", "domain", "ambiguous", "unknown".
QString verdictName(Verdict v);

// The first RFC 3463 enhanced status code ("5.1.1", "4.2.2", "5.1.10") in a reply or a
// diagnostic, or "" when there is none.
QString enhancedStatusIn(const QString& text);

// The three-digit reply code a reply or diagnostic starts with ("550-5.1.1 ..." gives 550),
// or 0.
int basicCodeIn(const QString& text);

struct Failure
{
    int basicCode = 0; // the SMTP reply code, 0 when none is known
    QString status;    // the enhanced status code; when empty it is looked for in text
    QString text;      // the reply or diagnostic text
};

Verdict classify(const Failure& failure);

// An SMTP reply as the transport reports it: its code and its text (which may hold the
// enhanced status code).
Verdict classifyReply(int replyCode, const QString& replyText);

// Whether a pattern of the table of one kind ("bounce-sender", "bounce-subject",
// "original-start", "autoreply-subject") is in text (letter case and runs of blanks aside; a
// pattern starting with "^" only at its start).
bool hasMarker(const QString& kind, const QString& text);

// Where the first marker of the kind starts in text, or -1.
qsizetype markerAt(const QString& kind, const QString& text);

} // namespace bounce
