#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace transport {

// Signs a composed message just before it goes out (DKIM). The transport calls it on its own
// thread, so implementations must allow calls from a thread other than the one that made them.
class MessageSigner
{
public:
    virtual ~MessageSigner() = default;
    // The whole message with its signature field in front. On failure nullopt and a Japanese
    // reason in *error; the mail must then not go out at all, rather than go out unsigned.
    virtual std::optional<QByteArray> sign(const QByteArray& message, QString* error) const = 0;
};

} // namespace transport
