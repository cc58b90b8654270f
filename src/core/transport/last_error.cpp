#include "core/transport/last_error.h"

namespace transport {
namespace {
struct LastFailure
{
    QString text;
    FailureClass failure = FailureClass::None;
    bool mayHaveArrived = false;
    int replyCode = 0;
};

LastFailure& storage()
{
    static LastFailure last;
    return last;
}
} // namespace

void setLastError(const QString& text, FailureClass failure, bool mayHaveArrived, int replyCode)
{
    storage() = {text, text.isEmpty() ? FailureClass::None : failure, mayHaveArrived, replyCode};
}

QString lastError()
{
    return storage().text;
}

FailureClass lastFailureClass()
{
    return storage().failure;
}

bool lastFailureMayHaveArrived()
{
    return storage().mayHaveArrived;
}

int lastFailureReplyCode()
{
    return storage().replyCode;
}

} // namespace transport
