#pragma once

#include <memory>

namespace platform {

// Ends the process at once: no further handler runs and open files are closed by the system.
// Tests install an implementation that only records the call.
class ProcessEnd
{
public:
    virtual ~ProcessEnd() = default;
    virtual void endProcess() = 0;
};

ProcessEnd& processEnd();
std::unique_ptr<ProcessEnd> setProcessEnd(std::unique_ptr<ProcessEnd> end);

} // namespace platform
