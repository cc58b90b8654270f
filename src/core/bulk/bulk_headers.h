#pragma once

#include "core/bulk/bulk_settings.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The header lines bulk senders add: List-Unsubscribe (RFC 2369) with its one-click form
// (RFC 8058), Precedence: bulk and Auto-Submitted (RFC 3834).
namespace bulk {

enum class MailKind {
    Delivery, // a mail of the run, to a list address
    Test,     // the test mail: made as a delivery mail for the operator's own address
    Notice,   // the start and end notices
};

// What stands in a template for the recipient's address.
inline constexpr char16_t kAddressPlaceholder[] = u"{address}";

// The address as it is meant, without the blanks a list line may carry around it or angle
// brackets around the whole.
QString PlainAddress(const QString& text);

// The address as a URI component: its UTF-8 octets, every one outside A-Z, a-z, 0-9 and
// "-._~" written %XX, so "+", "%", "@" and a Japanese domain survive any URL parser.
QByteArray PercentEncodedAddress(const QString& address);

// The template with every "{address}" replaced by the encoded address.
QByteArray ExpandTemplate(const QString& urlTemplate, const QString& address);

// The mailto template as it is sent: a bare address ("stop@example.jp") gets "mailto:" in
// front, and a character outside ASCII (a Japanese subject) is written as the %XX of its UTF-8
// octets, which a URI must use. The dialog keeps the template as the operator typed it.
QString MailtoTemplate(const QString& typed);

// The checks the dialog makes before it saves, and the start of a run again: true when the template
// is usable (an empty one is), else false with the message to show in *problem. A placeholder other
// than "{address}" is named; an https template must hold "{address}", or the one-click POST could
// not say who left.
bool CheckMailtoTemplate(const QString& mailtoTemplate, QString* problem);
bool CheckUrlTemplate(const QString& urlTemplate, QString* problem);

// The extra header fields one mail carries, joined with CR LF (a long List-Unsubscribe is
// folded onto a second line starting with a blank), ready for the transport's header slot.
// Empty when the mail carries none, which is always the case with everything off.
QString ExtraHeaders(const BulkSettings& settings, MailKind kind, const QString& recipient);

} // namespace bulk
