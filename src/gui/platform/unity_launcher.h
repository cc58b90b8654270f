#pragma once

#include "gui/platform/launcher_progress.h"

#include <QDBusConnection>
#include <QString>

#include <memory>

namespace platform {

// Progress on the launcher entry through the Unity launcher API: the signal
// com.canonical.Unity.LauncherEntry.Update(app_uri, {"progress", "progress-visible"}) on the
// session bus, where app_uri names the desktop entry ("application://<id>.desktop").
class UnityLauncherProgress final : public LauncherProgress
{
public:
    // desktopId: the desktop entry's name without ".desktop"; empty = the application's
    // QGuiApplication::desktopFileName() at the time of each signal.
    UnityLauncherProgress(const QDBusConnection& bus, const QString& desktopId = QString());

    // The session bus when there is one. Never starts a bus of its own: without an address
    // in the environment or a bus socket in XDG_RUNTIME_DIR there is no launcher to tell.
    static std::unique_ptr<LauncherProgress> onSessionBus();

    void show(QWidget* window, double fraction) override;
    void hide(QWidget* window) override;

private:
    void update(double fraction, bool visible);

    QDBusConnection m_bus;
    QString m_desktopId;
    // What the launcher was last told; a run at a short interval changes the fraction by less
    // than a launcher can draw, so only whole thousandths are sent.
    int m_sentPermille = -1;
    bool m_sentVisible = false;
};

} // namespace platform
