#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace platform {

// Where the program keeps ini/, csv/, txt/ and log/.
enum class AppFolderLayout {
    // Beside the executable, as it has always been: a folder that can be copied whole.
    Portable,
    // The user's own data folder, for a copy installed where the user cannot write.
    PerUser,
};

struct AppFolder
{
    QString path;
    AppFolderLayout layout;
};

// The four folders every application folder holds.
inline constexpr const char* kAppSubfolders[] = {"ini", "csv", "txt", "log"};

// True when a file can be created in folder right now. Tries it rather than reading
// permission bits, which say nothing of read-only mounts, ACLs or Windows' Program Files.
bool canCreateFilesIn(const QString& folder);

// The executable's folder while it is writable (every existing setup keeps working there),
// otherwise perUserFolder. An empty perUserFolder (the system named none) keeps the
// executable's folder.
// A copy in one of installedFolders (where a package or `cmake --install` puts the program,
// such as /usr/bin) uses perUserFolder even when it could write beside itself, as root can:
// settings, lists and logs never land among the system's programs. An ini/ folder already
// beside it (a setup made there by hand) keeps it where it is.
AppFolder chooseAppFolder(const QString& executableFolder, const QString& perUserFolder,
                          const std::function<bool(const QString&)>& writable = canCreateFilesIn,
                          const QStringList& installedFolders = {});

// The per-user data folder of this program (~/.local/share/<name> on Linux,
// %LOCALAPPDATA%\<name> on Windows); empty when the system names none.
QString perUserAppFolder();

// Creates folder and its four subfolders where missing. False on failure, with the reason in
// *errorText.
bool createAppSubfolders(const QString& folder, QString* errorText);

} // namespace platform
