#include "core/platform/system_messages.h"
#include "gui/main_window/write_form.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kezmailer_d100"));
    platform::useJapaneseSystemMessages();

    // Japanese captions on the standard buttons (はい, いいえ, キャンセル) where Qt's
    // translations are installed.
    QTranslator qtTranslator;
    if (qtTranslator.load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslator);

    WriteForm form(QApplication::applicationDirPath());
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
