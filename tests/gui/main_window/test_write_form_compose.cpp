#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include "core/platform/process_launcher.h"
#include "core/platform/text_files.h"
#include "core/settings/a_main_smail.h"
#include "gui/main_window/write_form.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using testing_support::MainWindowFixture;
using testing_support::ScopedFakeLauncher;

namespace {

QString canonical(const QString& path)
{
    return QDir(path).canonicalPath();
}

} // namespace

class TestWriteFormCompose : public QObject
{
    Q_OBJECT
private slots:
    void init() { aMain_sMail::ResetProcessState(); }
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void recipientListChooser()
    {
        MainWindowFixture window(testing_support::unloadedWindow());
        auto& fakes = window.fakes;
        auto& app = window.app;
        WriteForm& form = *window.form;
        QTemporaryDir elsewhere;
        const QString list = app.file("csv/list.csv");

        fakes.dialogs().answers = {list, std::nullopt};
        QDir::setCurrent(elsewhere.path());
        form.cmdCSV->click();
        QCOMPARE(form.ToText->text(), list);
        QCOMPARE(QDir::currentPath(), canonical(app.path()));

        QDir::setCurrent(elsewhere.path());
        form.cmdCSV->click();
        QCOMPARE(form.ToText->text(), list);
        QCOMPARE(QDir::currentPath(), canonical(app.path()));

        QCOMPARE(fakes.dialogs().requests.size(), size_t(2));
        const platform::OpenFileRequest& request = fakes.dialogs().requests.front();
        QCOMPARE(request.flags, platform::kHideReadOnly);
        QCOMPARE(canonical(request.initialDir), canonical(app.file("csv")));
        QCOMPARE(request.filter, QString("CSV(*.csv)|*.csv"));
        QVERIFY(fakes.boxes().shown.empty());
    }

    void bodyChooserLoadsWithCrLf()
    {
        MainWindowFixture window(testing_support::unloadedWindow());
        auto& fakes = window.fakes;
        auto& app = window.app;
        WriteForm& form = *window.form;
        QTemporaryDir elsewhere;
        const QString first = app.write("txt/first.txt", "a\r\n\r\nb");
        const std::optional<QByteArray> sjis = platform::encodeCp932("件名なし\r\n本文です");
        QVERIFY(sjis.has_value());
        const QString second = app.write("txt/second.txt", *sjis);
        const QString third = app.write("txt/third.txt", QByteArray("\xEF\xBB\xBF") +
                                                             QString("ＵＴＦ８\r\n").toUtf8());

        fakes.dialogs().answers = {first, second, std::nullopt, third};
        form.BodyText->setPlainText("typed before");
        QDir::setCurrent(elsewhere.path());
        form.cmdDoc->click();
        QCOMPARE(form.bodyText(), QString("a\r\n\r\nb\r\n"));
        QCOMPARE(QDir::currentPath(), canonical(app.path()));

        // The menu item loads the same way, and a new file replaces the body whole.
        form.mnDoc_Open->trigger();
        QCOMPARE(form.bodyText(), QString("件名なし\r\n本文です\r\n"));

        QDir::setCurrent(elsewhere.path());
        form.cmdDoc->click();
        QCOMPARE(form.bodyText(), QString("件名なし\r\n本文です\r\n"));
        QCOMPARE(QDir::currentPath(), canonical(app.path()));

        form.mnDoc_Open->trigger();
        QCOMPARE(form.bodyText(), QString("ＵＴＦ８\r\n"));

        const platform::OpenFileRequest& request = fakes.dialogs().requests.front();
        QCOMPARE(request.flags, platform::kHideReadOnly);
        QCOMPARE(canonical(request.initialDir), canonical(app.file("txt")));
        QCOMPARE(request.filter, QString("Txt(*.txt)|*.txt"));
        QVERIFY(fakes.boxes().shown.empty());
    }

    void unreadableBodyKeepsTheBody()
    {
        MainWindowFixture window(testing_support::unloadedWindow());
        auto& fakes = window.fakes;
        auto& app = window.app;
        WriteForm& form = *window.form;
        const QString missing = app.file("txt/gone.txt");
        fakes.dialogs().answers = {missing, app.file("txt")};
        form.BodyText->setPlainText("keep\nme");

        form.cmdDoc->click();
        QCOMPARE(form.BodyText->toPlainText(), QString("keep\nme"));
        QCOMPARE(fakes.boxes().shown.size(), size_t(1));
        const platform::MessageBoxRequest& box = fakes.boxes().shown.front();
        QVERIFY2(box.text.contains(QDir::toNativeSeparators(missing)), qPrintable(box.text));
        QCOMPARE(box.icon, platform::MsgIcon::Exclamation);
        QCOMPARE(box.caption, std::optional<QString>("KEZ-MAILER"));

        form.cmdDoc->click();
        QCOMPARE(form.BodyText->toPlainText(), QString("keep\nme"));
        QCOMPARE(fakes.boxes().shown.size(), size_t(2));
        QCOMPARE(QDir::currentPath(), canonical(app.path()));
    }

    void attachmentChooser()
    {
        MainWindowFixture window(testing_support::unloadedWindow());
        auto& fakes = window.fakes;
        auto& app = window.app;
        WriteForm& form = *window.form;

        fakes.dialogs().answers = {"/data/a.pdf", "/data/b c.png", std::nullopt};
        form.AttachCommand->click();
        form.AttachCommand->click();
        QCOMPARE(form.AttachText->text(), QString("/data/a.pdf,/data/b c.png"));
        form.AttachCommand->click();
        QCOMPARE(form.AttachText->text(), QString("/data/a.pdf,/data/b c.png"));

        fakes.dialogs().answers = {"/data/c", "/data/d"};
        form.AttachText->setText("   ");
        form.AttachCommand->click();
        QCOMPARE(form.AttachText->text(), QString("/data/c"));
        form.AttachText->setText(" /data/c");
        form.AttachCommand->click();
        QCOMPARE(form.AttachText->text(), QString(" /data/c,/data/d"));

        const platform::OpenFileRequest& request = fakes.dialogs().requests.front();
        QCOMPARE(request.flags, platform::kHideReadOnly);
#ifdef Q_OS_WIN
        QCOMPARE(request.initialDir, QString("c:\\"));
#else
        QCOMPARE(request.initialDir, QDir::homePath());
#endif
        QCOMPARE(request.filter, QString("ALL(*.*)|*.*"));
        QCOMPARE(QDir::currentPath(), canonical(app.path()));
    }

    void editorStart()
    {
        ScopedFakeLauncher launcher;
        MainWindowFixture window(testing_support::unloadedWindow());
        auto& fakes = window.fakes;
        WriteForm& form = *window.form;

        aMain_sMail::Settings.EDITPATH = " \t ";
        form.mnDoc_Make->trigger();
        QVERIFY(launcher->launches.empty());
        QCOMPARE(fakes.boxes().shown.size(), size_t(1));
        QCOMPARE(fakes.boxes().shown[0].text, QString("エディターが指定されていません。"));
        QCOMPARE(fakes.boxes().shown[0].icon, platform::MsgIcon::Exclamation);
        QCOMPARE(fakes.boxes().shown[0].caption, std::optional<QString>("KEZ-MAILER"));

        // Split as a command line, no shell in between.
        aMain_sMail::Settings.EDITPATH = "\"/opt/my editor/edit\" --new \"notes 1.txt\"";
        form.mnDoc_Make->trigger();
        QCOMPARE(launcher->launches.size(), size_t(1));
        QCOMPARE(launcher->launches[0].program, QString("/opt/my editor/edit"));
        QCOMPARE(launcher->launches[0].args, QStringList({"--new", "notes 1.txt"}));
        QCOMPARE(fakes.boxes().shown.size(), size_t(1));

        launcher->failWith = "No such file or directory";
        aMain_sMail::Settings.EDITPATH = "/usr/bin/no-editor";
        form.mnDoc_Make->trigger();
        QCOMPARE(fakes.boxes().shown.size(), size_t(2));
        const QString text = fakes.boxes().shown[1].text;
        QVERIFY2(text.contains("No such file or directory") && text.contains("/usr/bin/no-editor"),
                 qPrintable(text));
    }

    void editorAtAPathWithABlank()
    {
        MainWindowFixture window(testing_support::unloadedWindow());
        auto& fakes = window.fakes;
        auto& app = window.app;
        WriteForm& form = *window.form;
        QDir::setCurrent(app.path()); // as the load leaves it
        // A real program in a folder with a blank, which leaves a mark when it runs.
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("My Editor"));
        const QString program = dir.filePath("My Editor/edit");
        const QString mark = dir.filePath("My Editor/started");
        {
            QFile script(program);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\nprintf '%s' \"$#\" > \"$(dirname \"$0\")/started\"\n");
            script.close();
            QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner));
        }
        // Stored as older settings files hold it, unquoted; then as the browse button stores it.
        for (const QString& stored : {program, QString('"' + program + '"')}) {
            QFile::remove(mark);
            aMain_sMail::Settings.EDITPATH = stored;
            form.mnDoc_Make->trigger();
            QVERIFY2(
                fakes.boxes().shown.empty(),
                qPrintable(fakes.boxes().shown.empty() ? QString() : fakes.boxes().shown[0].text));
            // Started, with no arguments.
            auto argumentCount = [&mark] {
                QFile started(mark);
                return started.open(QIODevice::ReadOnly) ? started.readAll() : QByteArray("none");
            };
            QTRY_COMPARE(argumentCount(), QByteArray("0"));
        }

        // Whatever the path holds, the browse button's quoting splits back into it alone.
        ScopedFakeLauncher launcher;
        for (const QString& path :
             {QStringLiteral("/opt/a \"b\"/edit"), QStringLiteral("/opt/tab\there/edit"),
              QStringLiteral("C:\\Program Files\\エディタ\\edit.exe"),
              QStringLiteral("/usr/bin/gedit")}) {
            launcher->launches.clear();
            aMain_sMail::Settings.EDITPATH = platform::quoteProgram(path);
            form.mnDoc_Make->trigger();
            QCOMPARE(launcher->launches.size(), size_t(1));
            QCOMPARE(launcher->launches[0].program, path);
            QCOMPARE(launcher->launches[0].args, QStringList());
        }
    }
};

QTEST_MAIN(TestWriteFormCompose)
#include "test_write_form_compose.moc"
