#pragma once

#include "core/transport/mail_transport.h"

#include <QString>

// The last transport failure: its description, which NMailGetMessage hands out, and its class.
namespace transport {

void setLastError(const QString& text, FailureClass failure = FailureClass::Local,
                  bool mayHaveArrived = false, int replyCode = 0);
QString lastError();
FailureClass lastFailureClass();
bool lastFailureMayHaveArrived();
int lastFailureReplyCode();

} // namespace transport
