#pragma once

#include <QString>

#include <memory>
#include <optional>

class QWidget;

namespace platform {

// Flag of the open-file dialog that hides the read-only check box.
inline constexpr int kHideReadOnly = 4;

struct OpenFileRequest
{
    int flags = 0;
    QString initialDir;
    // Pairs of description and pattern separated by "|", e.g. "CSV(*.csv)|*.csv".
    QString filter;
};

// The open-file dialog. Tests install a scripted implementation.
class FileDialogs
{
public:
    virtual ~FileDialogs() = default;
    // The chosen full path, or nullopt when the operator cancelled.
    virtual std::optional<QString> getOpenFileName(QWidget* parent,
                                                   const OpenFileRequest& request) = 0;
};

FileDialogs& fileDialogs();
std::unique_ptr<FileDialogs> setFileDialogs(std::unique_ptr<FileDialogs> dialogs);

// Converts "desc|pattern|desc|pattern" into Qt's "desc (pattern);;..." form.
QString toQtFilter(const QString& pipeFilter);

// Shows the open-file dialog. A missing initial folder opens at appDir instead. Chosen or
// cancelled, the current directory is set back to appDir afterwards, since the dialog may
// have moved it.
std::optional<QString> chooseFile(QWidget* parent, OpenFileRequest request, const QString& appDir);

} // namespace platform
