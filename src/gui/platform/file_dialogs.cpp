#include "gui/platform/file_dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QStringList>

namespace platform {
namespace {

class QtFileDialogs final : public FileDialogs
{
public:
    std::optional<QString> getOpenFileName(QWidget* parent, const OpenFileRequest& request) override
    {
        QFileDialog::Options options;
        if (request.flags & kHideReadOnly)
            options |= QFileDialog::ReadOnly;
        QFileDialog dialog(parent, QString(), request.initialDir, toQtFilter(request.filter));
        dialog.setOptions(options);
        // An open dialog that still accepts the name of a file that does not exist yet, as
        // the log paths need.
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
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

QString toQtFilter(const QString& pipeFilter)
{
    const QStringList parts = pipeFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts.at(i + 1);
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters << QStringLiteral("%1 (%2)").arg(parts.at(i), patterns);
    }
    return filters.join(QStringLiteral(";;"));
}

std::optional<QString> chooseFile(QWidget* parent, OpenFileRequest request, const QString& appDir)
{
    if (!QDir(request.initialDir).exists())
        request.initialDir = appDir;
    std::optional<QString> chosen = fileDialogs().getOpenFileName(parent, request);
    QDir::setCurrent(appDir);
    return chosen;
}

} // namespace platform
