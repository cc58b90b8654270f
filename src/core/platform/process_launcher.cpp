#include "core/platform/process_launcher.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>

namespace platform {
namespace {

class QtLauncher final : public ProcessLauncher
{
public:
    bool startDetached(const QString& program, const QStringList& args, QString* errorText) override
    {
        QProcess process;
        process.setProgram(program);
        process.setArguments(args);
        if (process.startDetached())
            return true;
        if (errorText)
            *errorText = process.errorString();
        return false;
    }
};

std::unique_ptr<ProcessLauncher>& slot()
{
    static std::unique_ptr<ProcessLauncher> current = std::make_unique<QtLauncher>();
    return current;
}

} // namespace

ProcessLauncher& launcher()
{
    return *slot();
}

std::unique_ptr<ProcessLauncher> setLauncher(std::unique_ptr<ProcessLauncher> l)
{
    if (!l)
        l = std::make_unique<QtLauncher>();
    return std::exchange(slot(), std::move(l));
}

bool startCommandLine(const QString& commandLine, QString* errorText)
{
    if (QFileInfo(commandLine).isFile())
        return launcher().startDetached(commandLine, {}, errorText);
    QStringList parts = QProcess::splitCommand(commandLine);
    if (parts.isEmpty()) {
        if (errorText)
            *errorText = QCoreApplication::translate("platform", "No program given");
        return false;
    }
    const QString program = parts.takeFirst();
    return launcher().startDetached(program, parts, errorText);
}

QString quoteProgram(const QString& path)
{
    const bool blank = std::any_of(path.cbegin(), path.cend(), [](QChar c) { return c.isSpace(); });
    if (!blank && !path.contains(QLatin1Char('"')))
        return path;
    // Inside quotes, three quotes in a row stand for one.
    QString quoted = path;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace platform
