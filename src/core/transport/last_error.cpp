#include "core/transport/last_error.h"

namespace transport {
namespace {
QString& storage()
{
    static QString text;
    return text;
}
} // namespace

void setLastError(const QString& text)
{
    storage() = text;
}

QString lastError()
{
    return storage();
}

} // namespace transport
