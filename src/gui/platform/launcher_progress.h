#pragma once

#include <memory>

class QWidget;

namespace platform {

// The progress bar that a desktop shows on the program's launcher or taskbar entry, so that a
// minimised window still tells how far a run is. On Linux it speaks the Unity launcher API
// (com.canonical.Unity.LauncherEntry on the session bus), which KDE Plasma, Ubuntu's dock and
// other docks read; a desktop without it ignores the signal. On Windows the taskbar's own
// progress (ITaskbarList3::SetProgressValue on the main window) belongs here; it is not built
// yet, so there nothing is shown. Tests install an implementation that records the calls.
class LauncherProgress
{
public:
    virtual ~LauncherProgress() = default;
    // fraction from 0 to 1. window: the main window, which the taskbar entry belongs to.
    virtual void show(QWidget* window, double fraction) = 0;
    virtual void hide(QWidget* window) = 0;
};

LauncherProgress& launcherProgress();
// Replaces the process-wide implementation; returns the previous one. nullptr restores the
// platform's own.
std::unique_ptr<LauncherProgress> setLauncherProgress(std::unique_ptr<LauncherProgress> progress);

} // namespace platform
