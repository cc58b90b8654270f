#pragma once

#include <QString>

// The description of the last transport failure, which NMailGetMessage hands out.
namespace transport {

void setLastError(const QString& text);
QString lastError();

} // namespace transport
