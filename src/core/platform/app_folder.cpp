#include "core/platform/app_folder.h"

#include "core/platform/system_messages.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace platform {

bool canCreateFilesIn(const QString& folder)
{
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return false;
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".kezmailer-write-test-XXXXXX")));
    return probe.open(); // removed again when probe goes
}

namespace {

bool isInstalledCopy(const QString& executableFolder, const QStringList& installedFolders)
{
    // Canonical paths, so that /bin and /usr/bin (one folder on a merged-/usr system) match.
    const QString here = QFileInfo(executableFolder).canonicalFilePath();
    if (here.isEmpty() || QFileInfo(QDir(here).filePath(QStringLiteral("ini"))).exists())
        return false;
    for (const QString& folder : installedFolders) {
        if (QFileInfo(folder).canonicalFilePath() == here)
            return true;
    }
    return false;
}

} // namespace

AppFolder chooseAppFolder(const QString& executableFolder, const QString& perUserFolder,
                          const std::function<bool(const QString&)>& writable,
                          const QStringList& installedFolders)
{
    if (perUserFolder.isEmpty())
        return {executableFolder, AppFolderLayout::Portable};
    if (!isInstalledCopy(executableFolder, installedFolders) && writable(executableFolder))
        return {executableFolder, AppFolderLayout::Portable};
    return {perUserFolder, AppFolderLayout::PerUser};
}

QString perUserAppFolder()
{
    // The local one: on Windows AppDataLocation would roam the logs and the password file of
    // every machine the operator signs in to; on Linux both name ~/.local/share/<name>.
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

bool createAppSubfolders(const QString& folder, QString* errorText)
{
    auto fail = [errorText](int code) {
        if (errorText)
            *errorText = systemErrorText(code);
        return false;
    };
    for (const char* sub : kAppSubfolders) {
        std::error_code error;
        const std::filesystem::path path =
            QDir(folder).filePath(QLatin1String(sub)).toStdU16String();
        std::filesystem::create_directories(path, error);
        if (error)
            return fail(error.value());
        // A file of that name stands where the folder belongs.
        if (!std::filesystem::is_directory(path, error))
            return fail(ENOTDIR);
    }
    return true;
}

} // namespace platform
