#include "gui/platform/file_dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QSortFilterProxyModel>

namespace platform {
namespace {

// Hides the files the operator may not run while a file type that asks for executables is
// chosen; folders always show, so that the operator can walk to the program.
class ExecutablesProxy final : public QSortFilterProxyModel
{
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void setExecutablesOnly(bool on)
    {
        if (on == m_executablesOnly)
            return;
        m_executablesOnly = on;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override
    {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (!m_executablesOnly || !files)
            return true;
        const QModelIndex index = files->index(row, 0, parent);
        return files->isDir(index) || files->fileInfo(index).isExecutable();
    }

private:
    bool m_executablesOnly = false;
};

class QtFileDialogs final : public FileDialogs
{
public:
    std::optional<QString> getOpenFileName(QWidget* parent, const OpenFileRequest& request) override
    {
        QFileDialog dialog(parent);
        prepareFileDialog(dialog, request);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
    }

    std::optional<QString> getSaveFileName(QWidget* parent, const SaveFileRequest& request) override
    {
        QFileDialog dialog(parent);
        prepareFileDialog(dialog, {0, request.initialDir, request.filter});
        // Qt's own dialog asks before an existing file is replaced.
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(request.defaultSuffix);
        dialog.selectFile(request.fileName);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
    }
};

std::unique_ptr<FileDialogs>& slot()
{
    static std::unique_ptr<FileDialogs> current = std::make_unique<QtFileDialogs>();
    return current;
}

} // namespace

FileDialogs& fileDialogs()
{
    return *slot();
}

std::unique_ptr<FileDialogs> setFileDialogs(std::unique_ptr<FileDialogs> dialogs)
{
    if (!dialogs)
        dialogs = std::make_unique<QtFileDialogs>();
    return std::exchange(slot(), std::move(dialogs));
}

QList<NameFilter> chooserFilters(const QString& pipeFilter, FilterStyle style)
{
    const QStringList parts = pipeFilter.split(QLatin1Char('|'));
    QList<NameFilter> filters;
    bool listsAll = false;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        NameFilter filter{parts.at(i), parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts),
                          false};
        if (style == FilterStyle::Other) {
            for (QString& pattern : filter.patterns) {
                if (pattern == QLatin1String("*.*")) {
                    pattern = QStringLiteral("*");
                    listsAll = true;
                } else if (pattern.compare(QLatin1String("*.exe"), Qt::CaseInsensitive) == 0) {
                    pattern = QStringLiteral("*");
                    filter.executablesOnly = true;
                }
            }
            filter.patterns.removeDuplicates();
        }
        filters << filter;
    }
    if (style == FilterStyle::Other && !listsAll && !filters.isEmpty())
        filters << NameFilter{QStringLiteral("ALL(*.*)"), {QStringLiteral("*")}, false};
    return filters;
}

void prepareFileDialog(QFileDialog& dialog, const OpenFileRequest& request)
{
    const QList<NameFilter> filters = chooserFilters(request.filter);
    QStringList qtFilters;
    bool anyExecutables = false;
    for (const NameFilter& filter : filters) {
        qtFilters << QStringLiteral("%1 (%2)").arg(filter.name, filter.patterns.join(' '));
        anyExecutables = anyExecutables || filter.executablesOnly;
    }
    if (kFilterStyle == FilterStyle::Other)
        dialog.setOption(QFileDialog::DontUseNativeDialog);
    // The names carry their patterns already ("CSV(*.csv)"); Qt would add them a second time.
    // Set before the filters, which read it.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setNameFilters(qtFilters);
    dialog.setDirectory(request.initialDir);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!anyExecutables)
        return;
    auto* proxy = new ExecutablesProxy(&dialog);
    dialog.setProxyModel(proxy);
    // The dialog names a choice by its whole filter or, from the list, by the name shown.
    auto follow = [proxy, filters, qtFilters](const QString& chosen) {
        bool executablesOnly = false;
        for (qsizetype i = 0; i < filters.size(); ++i) {
            if (chosen == qtFilters.at(i) || chosen == filters.at(i).name.simplified())
                executablesOnly = filters.at(i).executablesOnly;
        }
        proxy->setExecutablesOnly(executablesOnly);
    };
    QObject::connect(&dialog, &QFileDialog::filterSelected, proxy, follow);
    follow(dialog.selectedNameFilter());
}

std::optional<QString> chooseFile(QWidget* parent, OpenFileRequest request, const QString& appDir)
{
    if (!QDir(request.initialDir).exists())
        request.initialDir = appDir;
    std::optional<QString> chosen = fileDialogs().getOpenFileName(parent, request);
    QDir::setCurrent(appDir);
    return chosen;
}

std::optional<QString> chooseSaveFile(QWidget* parent, SaveFileRequest request,
                                      const QString& appDir)
{
    if (!QDir(request.initialDir).exists())
        request.initialDir = appDir;
    std::optional<QString> chosen = fileDialogs().getSaveFileName(parent, request);
    QDir::setCurrent(appDir);
    return chosen;
}

} // namespace platform
