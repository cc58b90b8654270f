#include "core/platform/clock.h"

namespace platform {
namespace {

class SystemClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

std::unique_ptr<Clock>& slot()
{
    static std::unique_ptr<Clock> current = std::make_unique<SystemClock>();
    return current;
}

} // namespace

Clock& clock()
{
    return *slot();
}

std::unique_ptr<Clock> setClock(std::unique_ptr<Clock> clock)
{
    if (!clock)
        clock = std::make_unique<SystemClock>();
    return std::exchange(slot(), std::move(clock));
}

} // namespace platform
