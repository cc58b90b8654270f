#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Replaces the file at path with content, readable and writable by its owner only. The ini
// folder's files hold a password or name private keys, so nobody else may read them. The old
// file is replaced only once the new one is complete, so a failed write leaves it as it was;
// a missing parent folder is created. False on failure, with the reason in Japanese in
// *errorText (without the path, which the caller names in its own words).
bool replaceOwnerOnlyFile(const QString& path, const QByteArray& content, QString* errorText);

} // namespace platform
