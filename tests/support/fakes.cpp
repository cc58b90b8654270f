#include "fakes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace testing_support {

ScopedFakeClock::ScopedFakeClock(const QDateTime& start)
{
    auto clock = std::make_unique<FakeClock>(start);
    m_clock = clock.get();
    m_previous = platform::setClock(std::move(clock));
}

ScopedFakeClock::~ScopedFakeClock()
{
    platform::setClock(std::move(m_previous));
}

ScopedFakeLauncher::ScopedFakeLauncher()
{
    auto launcher = std::make_unique<FakeLauncher>();
    m_launcher = launcher.get();
    m_previous = platform::setLauncher(std::move(launcher));
}

ScopedFakeLauncher::~ScopedFakeLauncher()
{
    platform::setLauncher(std::move(m_previous));
}

TempAppDir::TempAppDir()
{
    QDir dir(m_dir.path());
    for (const char* sub : {"ini", "csv", "txt", "log"})
        dir.mkpath(QString::fromLatin1(sub));
}

QString TempAppDir::write(const QString& relative, const QByteArray& bytes) const
{
    const QString path = file(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    f.write(bytes);
    return path;
}

QByteArray TempAppDir::read(const QString& relative) const
{
    QFile f(file(relative));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

} // namespace testing_support
