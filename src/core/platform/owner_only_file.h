#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace platform {

// Replaces the file at path with content, readable and writable by its owner only. The ini
// folder's files hold a password or name private keys, so nobody else may read them. The old
// file is replaced only once the new one is complete, so a failed write leaves it as it was;
// a missing parent folder is created. False on failure, with the reason in Japanese in
// *errorText (without the path, which the caller names in its own words).
bool replaceOwnerOnlyFile(const QString& path, const QByteArray& content, QString* errorText);

// Removes from folder the temporary files that saves of fileNames (bare names such as
// "kezmail.ini") left when the program was killed before the save finished: regular files
// named "<name>.XXXXXX" with six of the characters the system's temporary names are made of.
// They hold whatever the file holds, a password included, and nothing else would ever remove
// them. Anything else, however alike, stays. Returns how many were removed.
int removeUnfinishedSaves(const QString& folder, const QStringList& fileNames);

} // namespace platform
