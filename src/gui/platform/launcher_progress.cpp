#include "gui/platform/launcher_progress.h"

#if defined(KEZ_UNITY_LAUNCHER)
#include "gui/platform/unity_launcher.h"
#endif

#include <utility>

namespace platform {
namespace {

class NoLauncherProgress final : public LauncherProgress
{
public:
    void show(QWidget*, double) override {}
    void hide(QWidget*) override {}
};

std::unique_ptr<LauncherProgress> platformLauncherProgress()
{
#if defined(KEZ_UNITY_LAUNCHER)
    if (std::unique_ptr<LauncherProgress> unity = UnityLauncherProgress::onSessionBus())
        return unity;
#endif
    return std::make_unique<NoLauncherProgress>();
}

std::unique_ptr<LauncherProgress>& slot()
{
    static std::unique_ptr<LauncherProgress> current = platformLauncherProgress();
    return current;
}

} // namespace

LauncherProgress& launcherProgress()
{
    return *slot();
}

std::unique_ptr<LauncherProgress> setLauncherProgress(std::unique_ptr<LauncherProgress> progress)
{
    if (!progress)
        progress = platformLauncherProgress();
    return std::exchange(slot(), std::move(progress));
}

} // namespace platform
