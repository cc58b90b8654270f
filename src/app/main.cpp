#include "core/bulk/bulk_settings.h"
#include "core/platform/app_folder.h"
#include "core/platform/file_size_signal.h"
#include "core/platform/owner_only_file.h"
#include "core/platform/system_messages.h"
#include "core/settings/settings_file.h"
#include "gui/icon/app_icon.h"
#include "gui/main_window/write_form.h"
#include "gui/platform/message_boxes.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kezmailer_d100"));
    platform::useJapaneseSystemMessages();
    platform::ignoreFileSizeSignal();
    // Ties the windows to the installed desktop entry (its icon, its launcher entry).
    QApplication::setDesktopFileName(QStringLiteral(KEZ_APP_ID));
    QApplication::setWindowIcon(shell::applicationIcon());

    // Japanese captions on the standard buttons (はい, いいえ, キャンセル) where Qt's
    // translations are installed.
    QTranslator qtTranslator;
    if (qtTranslator.load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslator);

    const platform::AppFolder folder = platform::chooseAppFolder(
        QApplication::applicationDirPath(), platform::perUserAppFolder(),
        platform::canCreateFilesIn,
        QStringLiteral(KEZ_INSTALLED_BINDIRS).split(QLatin1Char('|'), Qt::SkipEmptyParts));
    QString failure;
    if (!platform::createAppSubfolders(folder.path, &failure))
        platform::msgBox(nullptr,
                         QStringLiteral("アプリケーションフォルダを作成できませんでした。\n%1\n%2")
                             .arg(folder.path, failure),
                         platform::MsgIcon::Critical);
    // Before anything reads the ini folder: a save killed midway left a full copy of its file,
    // the password included, under a name that nothing else would ever clear away.
    platform::removeUnfinishedSaves(
        QDir(folder.path).filePath(QStringLiteral("ini")),
        {QFileInfo(aMain_sMail::SettingsFilePath(folder.path)).fileName(),
         QFileInfo(bulk::BulkFilePath(folder.path)).fileName()});

    WriteForm form(folder.path);
    form.Form_Load();
    form.show();
    // After the settings checks of the load, once the window shows.
    QTimer::singleShot(0, &form, &WriteForm::offerResume);
    return QApplication::exec();
}
