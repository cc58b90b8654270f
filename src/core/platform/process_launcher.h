#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace platform {

// Told, from the event loop, why a watched program ended in failure (in Japanese).
using ExitFailure = std::function<void(const QString& reason)>;

// Starts programs without waiting for them: the operator's editor and the web browser.
class ProcessLauncher
{
public:
    virtual ~ProcessLauncher() = default;
    // Starts program with args detached. On failure returns false and puts the system's
    // reason into *errorText.
    virtual bool startDetached(const QString& program, const QStringList& args,
                               QString* errorText) = 0;
    // Starts program with args and watches it without blocking: xdg-open, for one, starts
    // fine and only then finds no browser. A program that can't be started is reported at
    // once, as by startDetached; one that later ends with a status other than 0, or crashes,
    // calls onFailure. One still running when the program ends is left running.
    virtual bool startWatched(const QString& program, const QStringList& args,
                              ExitFailure onFailure, QString* errorText) = 0;
};

// The reason a watched program's end gives: its status and the last line it wrote to its
// error output (empty when none), which is where xdg-open says what it missed.
QString exitFailureText(const QString& program, bool crashed, int exitCode,
                        const QByteArray& errorOutput);

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
