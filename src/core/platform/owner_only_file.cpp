#include "core/platform/owner_only_file.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace platform {

bool replaceOwnerOnlyFile(const QString& path, const QByteArray& content, QString* errorText)
{
    auto fail = [errorText](const QString& reason) {
        if (errorText)
            *errorText = reason;
        return false;
    };
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        if (QFileInfo::exists(folder))
            return fail(QStringLiteral("%1 はフォルダーではありません。")
                            .arg(QDir::toNativeSeparators(folder)));
        if (!QDir().mkpath(folder))
            return fail(QStringLiteral("フォルダー %1 を作成できません。")
                            .arg(QDir::toNativeSeparators(folder)));
    }

    // The new content goes to a temporary file beside the old one, which is replaced only
    // once the whole content is on disk.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    // A write that stops part-way (disk full, file size limit) can look like a success to
    // the commit, which would then replace the old file with a cut one: flush and measure
    // before committing.
    const bool written =
        file.write(content) == content.size() && file.flush() && file.size() == content.size();
    if (!written) {
        const QString reason = file.error() != QFileDevice::NoError
                                   ? file.errorString()
                                   : QStringLiteral("書き込みが途中で止まりました。");
        file.cancelWriting();
        file.commit();
        return fail(reason);
    }
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

namespace {

// The suffix QSaveFile's temporary copy carries where the system can't make a nameless one.
bool isTemporarySuffix(QStringView suffix)
{
    constexpr qsizetype kPlaceholderLength = 6;
    return suffix.size() == kPlaceholderLength &&
           std::all_of(suffix.begin(), suffix.end(), [](QChar c) {
               return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') ||
                      (c >= u'0' && c <= u'9') || c == u'-' || c == u'_';
           });
}

} // namespace

int removeUnfinishedSaves(const QString& folder, const QStringList& fileNames)
{
    const QDir dir(folder);
    int removed = 0;
    // A link is never ours to follow or remove: the saves write plain files.
    const QStringList entries =
        dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    for (const QString& entry : entries) {
        const bool leftOver =
            std::any_of(fileNames.cbegin(), fileNames.cend(), [&entry](const QString& name) {
                return entry.size() > name.size() + 1 && entry.startsWith(name) &&
                       entry.at(name.size()) == u'.' &&
                       isTemporarySuffix(QStringView(entry).mid(name.size() + 1));
            });
        const QFileInfo info(dir.filePath(entry));
        if (leftOver && info.isFile() && !info.isSymLink() && QFile::remove(info.filePath()))
            ++removed;
    }
    return removed;
}

} // namespace platform
