#include "core/platform/process_end.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace platform {
namespace {

class ImmediateProcessEnd final : public ProcessEnd
{
public:
    [[noreturn]] void endProcess() override
    {
        std::fflush(nullptr);
        // _Exit rather than exit: no destructor or atexit handler may run a handler of ours
        // after the main window has unloaded.
        std::_Exit(0);
    }
};

std::unique_ptr<ProcessEnd>& slot()
{
    static std::unique_ptr<ProcessEnd> current = std::make_unique<ImmediateProcessEnd>();
    return current;
}

} // namespace

ProcessEnd& processEnd()
{
    return *slot();
}

std::unique_ptr<ProcessEnd> setProcessEnd(std::unique_ptr<ProcessEnd> end)
{
    if (!end)
        end = std::make_unique<ImmediateProcessEnd>();
    return std::exchange(slot(), std::move(end));
}

} // namespace platform
