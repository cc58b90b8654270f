#include "core/platform/file_size_signal.h"

#include <csignal>

namespace platform {

void ignoreFileSizeSignal()
{
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

} // namespace platform
