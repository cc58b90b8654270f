// The launcher entry's progress on Linux: the signals on a private session bus, read back by
// dbus-monitor.
#include "gui/platform/unity_launcher.h"

#include <QDBusConnection>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Update
{
    QString uri;
    double progress;
    bool visible;
    bool operator==(const Update&) const = default;
};

char* toString(const Update& u)
{
    return qstrdup(qPrintable(QString("%1 %2 %3").arg(u.uri).arg(u.progress).arg(u.visible)));
}

} // namespace

class TestLauncherProgress : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_address = "unix:path=" + m_dir.filePath("bus");
        m_bus.start("dbus-daemon",
                    {"--session", "--nofork", "--print-address", "--address=" + m_address});
        QVERIFY2(m_bus.waitForStarted(), "dbus-daemon (package dbus-daemon) did not start");
        // The address is printed once the bus listens.
        QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine() || m_bus.state() != QProcess::Running, 10000);
        QVERIFY2(m_bus.readLine().startsWith("unix:"), m_bus.readAllStandardError().constData());
        // Monitors see every signal on the bus; the monitor is ready once it has given up its
        // own name.
        m_monitor.start("dbus-monitor",
                        {"--address", m_address,
                         "type='signal',interface='com.canonical.Unity.LauncherEntry'"});
        QVERIFY2(m_monitor.waitForStarted(), "dbus-monitor (package dbus-bin) did not start");
        QTRY_VERIFY_WITH_TIMEOUT(
            monitored().contains("NameLost") || m_monitor.state() != QProcess::Running, 10000);
        QVERIFY2(monitored().contains("NameLost"), m_monitor.readAllStandardError().constData());
    }

    void cleanupTestCase()
    {
        for (QProcess* p : {&m_monitor, &m_bus}) {
            p->terminate();
            p->waitForFinished(5000);
        }
    }

    void signalsTheFraction()
    {
        const QDBusConnection bus = QDBusConnection::connectToBus(m_address, "launcher-test");
        QVERIFY(bus.isConnected());
        platform::UnityLauncherProgress launcher(bus, "example.kez_mail.KezMailer");
        launcher.hide(nullptr); // nothing shown yet: nothing to take back
        launcher.show(nullptr, 0.25);
        launcher.show(nullptr, 0.2501); // the same thousandth: no new signal
        launcher.show(nullptr, 2.0 / 3);
        launcher.show(nullptr, 1.7); // beyond the end: full
        launcher.hide(nullptr);
        launcher.hide(nullptr);

        const QString uri = "application://example.kez_mail.KezMailer.desktop";
        const QList<Update> expected = {
            {uri, 0.25, true}, {uri, 0.667, true}, {uri, 1.0, true}, {uri, 0.0, false}};
        // hide() waits for the bus to take everything, so the monitor sees all at once.
        QTRY_COMPARE_WITH_TIMEOUT(updates().size(), expected.size(), 10000);
        QCOMPARE(updates(), expected);
        QDBusConnection::disconnectFromBus("launcher-test");
    }

    void onlyWhereABusIsNamed()
    {
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.filePath("no-bus-here")));
        QVERIFY(!platform::UnityLauncherProgress::onSessionBus());

        qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
        QVERIFY(platform::UnityLauncherProgress::onSessionBus());
    }

private:
    QString monitored()
    {
        m_seen += QString::fromUtf8(m_monitor.readAllStandardOutput());
        return m_seen;
    }

    // The Update signals the monitor has seen, in order.
    QList<Update> updates()
    {
        static const QRegularExpression signal(
            "member=Update\\s+string \"([^\"]*)\"\\s+array \\[(.*?)\\n\\s*\\]",
            QRegularExpression::DotMatchesEverythingOption);
        static const QRegularExpression progress("\"progress\"\\s+variant\\s+double ([0-9.e-]+)");
        static const QRegularExpression visible(
            "\"progress-visible\"\\s+variant\\s+boolean (true|false)");
        QList<Update> found;
        auto it = signal.globalMatch(monitored());
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            const QString properties = m.captured(2);
            const auto p = progress.match(properties);
            const auto v = visible.match(properties);
            found.push_back({m.captured(1), p.hasMatch() ? p.captured(1).toDouble() : -1,
                             v.hasMatch() && v.captured(1) == "true"});
        }
        return found;
    }

    QTemporaryDir m_dir;
    QString m_address;
    QProcess m_bus;
    QProcess m_monitor;
    QString m_seen;
};

QTEST_MAIN(TestLauncherProgress)
#include "test_launcher_progress.moc"
