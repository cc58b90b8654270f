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

// Starts a command line without a shell. A line that names an existing file as it stands is
// that program, started with no arguments, blanks and all (editor paths were long stored
// unquoted). Any other line is split into program and arguments the way the platform's
// shell-less start does (quotes group, no variables, no redirection).
bool startCommandLine(const QString& commandLine, QString* errorText);

// The program path as a command line that startCommandLine splits back into that one path:
// quoted when it holds a blank, with its own quotes doubled as the splitting expects.
QString quoteProgram(const QString& path);

} // namespace platform
