#pragma once

// Stand-ins for the platform that tests script: the clock, process start and the application
// folder.

#include "core/platform/clock.h"
#include "core/platform/process_launcher.h"

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>

#include <vector>

namespace testing_support {

class FakeClock : public platform::Clock
{
public:
    explicit FakeClock(QDateTime start) : m_now(std::move(start)) {}
    QDateTime now() const override { return m_now; }
    void set(const QDateTime& now) { m_now = now; }
    void advanceSeconds(qint64 seconds) { m_now = m_now.addSecs(seconds); }

private:
    QDateTime m_now;
};

// Installs a FakeClock for the lifetime of the object and hands it out.
class ScopedFakeClock
{
public:
    explicit ScopedFakeClock(const QDateTime& start);
    ~ScopedFakeClock();
    FakeClock& operator*() { return *m_clock; }
    FakeClock* operator->() { return m_clock; }

private:
    FakeClock* m_clock;
    std::unique_ptr<platform::Clock> m_previous;
};

struct LaunchRecord
{
    QString program;
    QStringList args;
    // A watched start's report of its end; empty for a detached start.
    platform::ExitFailure onFailure;
};

class FakeLauncher : public platform::ProcessLauncher
{
public:
    bool startDetached(const QString& program, const QStringList& args, QString* errorText) override
    {
        launches.push_back({program, args, {}});
        if (!failWith.isEmpty()) {
            if (errorText)
                *errorText = failWith;
            return false;
        }
        return true;
    }
    bool startWatched(const QString& program, const QStringList& args,
                      platform::ExitFailure onFailure, QString* errorText) override
    {
        const bool started = startDetached(program, args, errorText);
        launches.back().onFailure = std::move(onFailure);
        return started;
    }
    std::vector<LaunchRecord> launches;
    QString failWith; // non-empty: every start fails with this reason
};

class ScopedFakeLauncher
{
public:
    ScopedFakeLauncher();
    ~ScopedFakeLauncher();
    FakeLauncher* operator->() { return m_launcher; }

private:
    FakeLauncher* m_launcher;
    std::unique_ptr<platform::ProcessLauncher> m_previous;
};

// A fresh application folder with ini/, csv/, txt/ and log/.
class TempAppDir
{
public:
    TempAppDir();
    QString path() const { return m_dir.path(); }
    QString file(const QString& relative) const { return m_dir.filePath(relative); }
    // Writes bytes to a file below the folder and returns its full path.
    QString write(const QString& relative, const QByteArray& bytes) const;
    QByteArray read(const QString& relative) const;
    bool isValid() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir;
};

} // namespace testing_support
