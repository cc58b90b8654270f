#pragma once

#include <QDateTime>

#include <memory>

namespace platform {

// The local clock. Tests install a clock they can set and move.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

Clock& clock();
// Replaces the process-wide clock; returns the previous one. Passing nullptr restores the
// system clock.
std::unique_ptr<Clock> setClock(std::unique_ptr<Clock> clock);

} // namespace platform
