#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QFileDialog;
class QWidget;

namespace platform {

// Flag of the open-file dialog that hides the read-only check box. Qt's own dialog has no
// such box, so the flag asks nothing of it (its read-only option would forbid New Folder).
inline constexpr int kHideReadOnly = 4;

struct OpenFileRequest
{
    int flags = 0;
    QString initialDir;
    // Pairs of description and pattern separated by "|", e.g. "CSV(*.csv)|*.csv".
    QString filter;
};

struct SaveFileRequest
{
    QString initialDir;
    QString fileName;      // offered in the name box
    QString filter;        // as OpenFileRequest's
    QString defaultSuffix; // added to a name typed without one, e.g. "csv"
};

// The open- and save-file dialogs. Tests install a scripted implementation.
class FileDialogs
{
public:
    virtual ~FileDialogs() = default;
    // The chosen full path, or nullopt when the operator cancelled.
    virtual std::optional<QString> getOpenFileName(QWidget* parent,
                                                   const OpenFileRequest& request) = 0;
    // The path to write, or nullopt when the operator cancelled. Choosing an existing file has
    // been confirmed by the operator.
    virtual std::optional<QString> getSaveFileName(QWidget* parent,
                                                   const SaveFileRequest& request) = 0;
};

FileDialogs& fileDialogs();
std::unique_ptr<FileDialogs> setFileDialogs(std::unique_ptr<FileDialogs> dialogs);

// One entry of a chooser's list of file types.
struct NameFilter
{
    QString name; // shown as it stands, e.g. "CSV(*.csv)"
    QStringList patterns;
    bool executablesOnly = false; // of the files, only those the operator may run
};

enum class FilterStyle {
    Windows, // the filter exactly as the program gives it
    Other,   // where programs carry no extension and "*.*" would need a dot in the name
};

#ifdef Q_OS_WIN
inline constexpr FilterStyle kFilterStyle = FilterStyle::Windows;
#else
inline constexpr FilterStyle kFilterStyle = FilterStyle::Other;
#endif

// The program's "desc|pattern|desc|pattern" filter as a chooser offers it. In the Other
// style "*.exe" lists the executable files of any name, "*.*" lists every file, and a list
// without "*.*" gains "ALL(*.*)" as its last entry.
QList<NameFilter> chooserFilters(const QString& pipeFilter, FilterStyle style = kFilterStyle);

// Sets up Qt's dialog for a request: start folder, file types (each name shown once), and an
// open dialog that still accepts the name of a file that does not exist yet, as the log
// paths need. Outside Windows it is always Qt's own dialog, since only that one can list
// files by their permission to run.
void prepareFileDialog(QFileDialog& dialog, const OpenFileRequest& request);

// Shows the open-file dialog. A missing initial folder opens at appDir instead. Chosen or
// cancelled, the current directory is set back to appDir afterwards, since the dialog may
// have moved it.
std::optional<QString> chooseFile(QWidget* parent, OpenFileRequest request, const QString& appDir);
// The save-file dialog, with the same care for the start folder and the current directory.
std::optional<QString> chooseSaveFile(QWidget* parent, SaveFileRequest request,
                                      const QString& appDir);

} // namespace platform
