#pragma once

#include <QString>

#include <optional>

namespace transport {

struct Sender
{
    QString name;    // the display name as given (may be empty)
    QString address; // as given, not yet checked
};

// The sender argument is the display name directly followed by "<" + address + ">". It is split
// at the last "<", so a name may itself hold "<". Without "<" the whole text is the address.
Sender splitSender(const QString& from);

// Checks an address for the SMTP envelope and returns it as it goes on the wire: blanks around
// it removed, enclosing angle brackets dropped, a Japanese domain in punycode. Refuses (nullopt,
// Japanese text in *error naming `role`) an empty address, any control character (CR, LF, NUL
// and the others: libcurl would pass them on and the server would run an injected command),
// blanks or angle brackets inside, and non-ASCII characters before the "@".
std::optional<QString> envelopeAddress(const QString& text, const QString& role, QString* error);

// True when text holds a C0 control character or DEL.
bool hasControlCharacter(const QString& text);

// Whether the MAIL setting is one address: not empty, and no blank (space, tab, ideographic
// space), angle bracket or control character between its ends. The sender goes out as
// name + "<" + MAIL + ">", split at the last "<": "op@example.jp> <evil@evil.test" would
// otherwise send every mail from the second address.
bool isSingleAddress(const QString& mail);

} // namespace transport
