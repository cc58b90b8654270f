#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace transport {

// Reads the header fields a caller hands to the send call's header slot: "Name: value" fields
// separated by CR LF, a line that starts with a blank continuing the field before it. Refuses
// (nullopt, Japanese reason in *error) anything that would damage the mail or let a caller
// smuggle in more than header fields: a blank line or a line without a name, a control
// character or a non-ASCII character, a line longer than 998 octets, and the fields the
// composer writes itself. Each field comes back with its folds as CR LF and no final CR LF.
std::optional<QList<QByteArray>> parseExtraHeaders(const QString& text, QString* error);

} // namespace transport
