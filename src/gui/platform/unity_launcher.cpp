#include "gui/platform/unity_launcher.h"

#include <QDBusMessage>
#include <QFileInfo>
#include <QGuiApplication>
#include <QVariantMap>

#include <algorithm>
#include <cmath>

namespace platform {

UnityLauncherProgress::UnityLauncherProgress(const QDBusConnection& bus, const QString& desktopId)
    : m_bus(bus), m_desktopId(desktopId)
{
}

std::unique_ptr<LauncherProgress> UnityLauncherProgress::onSessionBus()
{
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const bool busNamed =
        !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ||
        (!runtimeDir.isEmpty() && QFileInfo::exists(runtimeDir + QStringLiteral("/bus")));
    if (!busNamed)
        return nullptr;
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return nullptr;
    return std::make_unique<UnityLauncherProgress>(bus);
}

void UnityLauncherProgress::show(QWidget*, double fraction)
{
    update(std::clamp(fraction, 0.0, 1.0), true);
}

void UnityLauncherProgress::hide(QWidget*)
{
    if (!m_sentVisible)
        return;
    update(0.0, false);
    // The process may end right after this (the window's unload ends it at once), and a
    // signal is only queued until the connection writes it; a round trip to the bus
    // guarantees that everything before it has been written. A stuck bus costs at most this
    // long.
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    m_bus.call(ping, QDBus::Block, 500);
}

void UnityLauncherProgress::update(double fraction, bool visible)
{
    const int permille = int(std::lround(fraction * 1000));
    if (visible == m_sentVisible && (!visible || permille == m_sentPermille))
        return;
    const QString id = m_desktopId.isEmpty() ? QGuiApplication::desktopFileName() : m_desktopId;
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/com/canonical/unity/launcherentry/kezmailer"),
        QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    QVariantMap properties;
    properties.insert(QStringLiteral("progress"), permille / 1000.0);
    properties.insert(QStringLiteral("progress-visible"), visible);
    signal << QStringLiteral("application://%1.desktop").arg(id) << properties;
    if (m_bus.send(signal)) {
        m_sentPermille = permille;
        m_sentVisible = visible;
    }
}

} // namespace platform
