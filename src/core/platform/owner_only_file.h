#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace platform {

// Replaces the file at path with content, readable and writable by its owner only. The ini
// folder's files hold a password or name private keys, so nobody else may read them. The old
// file is replaced only once the new one is complete, so a failed write leaves it as it was;
// a missing parent folder is created. Returns nullopt on success, else the reason in Japanese
// (without the path, which the caller names in its own words).
std::optional<QString> replaceOwnerOnlyFile(const QString& path, const QByteArray& content);

} // namespace platform
