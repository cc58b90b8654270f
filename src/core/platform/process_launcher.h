#pragma once

#include <QString>
#include <QStringList>

#include <memory>

namespace platform {

// Starts programs without waiting for them: the operator's editor and the web browser.
class ProcessLauncher
{
public:
    virtual ~ProcessLauncher() = default;
    // Starts program with args detached. On failure returns false and puts the system's
    // reason into *errorText.
    virtual bool startDetached(const QString& program, const QStringList& args,
                               QString* errorText) = 0;
};

ProcessLauncher& launcher();
std::unique_ptr<ProcessLauncher> setLauncher(std::unique_ptr<ProcessLauncher> launcher);

// Splits a command line into program and arguments the way the platform's shell-less start
// does (quotes group, no variables, no redirection), then starts it.
bool startCommandLine(const QString& commandLine, QString* errorText);

} // namespace platform
