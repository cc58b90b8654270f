#include "core/platform/process_launcher.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <memory>

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

    bool startWatched(const QString& program, const QStringList& args, ExitFailure onFailure,
                      QString* errorText) override
    {
        // No parent, and not deleted at the program's end while it runs: deleting a QProcess
        // kills it, and with it the browser xdg-open may still be waiting for.
        auto* process = new QProcess;
        process->setProgram(program);
        process->setArguments(args);
        process->setStandardInputFile(QProcess::nullDevice());
        process->setStandardOutputFile(QProcess::nullDevice());
        // The error output is read for its last words; a browser that talks for hours
        // costs no more than the tail kept.
        auto errorOutput = std::make_shared<QByteArray>();
        QObject::connect(process, &QProcess::readyReadStandardError, process,
                         [process, errorOutput] {
                             constexpr qsizetype kKept = 4096;
                             errorOutput->append(process->readAllStandardError());
                             if (errorOutput->size() > kKept)
                                 errorOutput->remove(0, errorOutput->size() - kKept);
                         });
        QObject::connect(
            process, &QProcess::finished, process,
            [process, program, errorOutput, onFailure](int code, QProcess::ExitStatus status) {
                errorOutput->append(process->readAllStandardError());
                process->deleteLater();
                const bool crashed = status == QProcess::CrashExit;
                if ((crashed || code != 0) && onFailure)
                    onFailure(exitFailureText(program, crashed, code, *errorOutput));
            });
        process->start();
        // Only as long as the system takes to load the program: a missing or non-executable
        // one is known then, and reported as a detached start reports it.
        if (!process->waitForStarted()) {
            if (errorText)
                *errorText = process->errorString();
            delete process;
            return false;
        }
        return true;
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

QString exitFailureText(const QString& program, bool crashed, int exitCode,
                        const QByteArray& errorOutput)
{
    QString text =
        crashed ? QStringLiteral("%1 が異常終了しました。").arg(program)
                : QStringLiteral("%1 が終了コード %2 で終了しました。").arg(program).arg(exitCode);
    const QList<QByteArray> lines = errorOutput.trimmed().split('\n');
    const QString last = QString::fromLocal8Bit(lines.constLast()).trimmed();
    // The notice has room for a few lines, the URL among them.
    constexpr qsizetype kLongest = 48;
    if (!last.isEmpty())
        text += QLatin1Char('\n') + (last.size() > kLongest ? last.left(kLongest) + u'…' : last);
    return text;
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
