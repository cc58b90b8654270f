#include "gui_fakes.h"
#include "modal_dialogs.h"

#include "gui/platform/file_dialogs.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using platform::FilterStyle;
using platform::NameFilter;

namespace {

const QString kExe = QStringLiteral("EXE(*.exe)|*.exe|ALL(*.*)|*.*");

QString describe(const QList<NameFilter>& filters)
{
    QStringList out;
    for (const NameFilter& f : filters)
        out << f.name + "=" + f.patterns.join(' ') + (f.executablesOnly ? "+x" : "");
    return out.join(" | ");
}

void writeFile(const QString& path, QFileDevice::Permissions permissions)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n");
    file.close();
    QVERIFY(file.setPermissions(permissions));
}

// The names the dialog's file list shows for its current folder.
QStringList listed(QFileDialog& dialog)
{
    auto* view = dialog.findChild<QListView*>(QStringLiteral("listView"));
    if (!view || !view->model())
        return {"no list view"};
    QStringList names;
    const QModelIndex root = view->rootIndex();
    for (int row = 0; row < view->model()->rowCount(root); ++row)
        names << view->model()->index(row, 0, root).data().toString();
    names.sort();
    return names;
}

QStringList comboItems(QFileDialog& dialog)
{
    auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    QStringList items;
    for (int i = 0; combo && i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

} // namespace

class TestFileDialogs : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void chooserFilters_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("windows");
        QTest::addColumn<QString>("other");

        QTest::newRow("editor") << kExe << "EXE(*.exe)=*.exe | ALL(*.*)=*.*"
                                << "EXE(*.exe)=*+x | ALL(*.*)=*";
        QTest::newRow("logs") << "Log(*.log)|*.log|CSV(*.csv)|*.csv|ALL(*.*)|*.*"
                              << "Log(*.log)=*.log | CSV(*.csv)=*.csv | ALL(*.*)=*.*"
                              << "Log(*.log)=*.log | CSV(*.csv)=*.csv | ALL(*.*)=*";
        // An extension alone gains every file elsewhere; Windows keeps what it was given.
        QTest::newRow("list") << "CSV(*.csv)|*.csv"
                              << "CSV(*.csv)=*.csv"
                              << "CSV(*.csv)=*.csv | ALL(*.*)=*";
        QTest::newRow("body") << "Txt(*.txt)|*.txt"
                              << "Txt(*.txt)=*.txt"
                              << "Txt(*.txt)=*.txt | ALL(*.*)=*";
        QTest::newRow("attachment") << "ALL(*.*)|*.*"
                                    << "ALL(*.*)=*.*"
                                    << "ALL(*.*)=*";
    }

    void chooserFilters()
    {
        QFETCH(QString, filter);
        QFETCH(QString, windows);
        QFETCH(QString, other);
        QCOMPARE(describe(platform::chooserFilters(filter, FilterStyle::Windows)), windows);
        QCOMPARE(describe(platform::chooserFilters(filter, FilterStyle::Other)), other);
    }

    // Qt's own dialog, as the choosers show it outside Windows.
    void editorChooserListsProgramsOfAnyName()
    {
        if (platform::kFilterStyle != FilterStyle::Other)
            QSKIP("Windows shows its own dialog with the exact filters");
        QTemporaryDir dir;
        const auto exec = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        const auto plain = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        writeFile(dir.filePath("myeditor"), exec);
        writeFile(dir.filePath("notes"), plain);
        writeFile(dir.filePath("setup.exe"), plain);
        QVERIFY(QDir(dir.path()).mkdir("sub"));

        QFileDialog dialog;
        platform::prepareFileDialog(dialog, {platform::kHideReadOnly, dir.path(), kExe});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        // Each name once, as the program gives it.
        QCOMPARE(comboItems(dialog), QStringList({"EXE(*.exe)", "ALL(*.*)"}));
        QTRY_COMPARE(listed(dialog), QStringList({"myeditor", "sub"}));

        // The operator picks ALL from the list: every file, with a dot in its name or not.
        auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_Down);
        QCOMPARE(combo->currentText(), QStringLiteral("ALL(*.*)"));
        QTRY_COMPARE(listed(dialog), QStringList({"myeditor", "notes", "setup.exe", "sub"}));
        QTest::keyClick(combo, Qt::Key_Up);
        QTRY_COMPARE(listed(dialog), QStringList({"myeditor", "sub"}));
    }

    void newFolderFromTheLogChooser()
    {
        if (platform::kFilterStyle != FilterStyle::Other)
            QSKIP("Windows shows its own dialog");
        QTemporaryDir dir;
        QFileDialog dialog;
        platform::prepareFileDialog(
            dialog, {platform::kHideReadOnly, dir.path(),
                     QStringLiteral("Log(*.log)|*.log|CSV(*.csv)|*.csv|ALL(*.*)|*.*")});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(comboItems(dialog), QStringList({"Log(*.log)", "CSV(*.csv)", "ALL(*.*)"}));
        auto* newFolder = dialog.findChild<QToolButton*>(QStringLiteral("newFolderButton"));
        QVERIFY(newFolder);
        QTRY_VERIFY(newFolder->isEnabled());
        newFolder->click();
        QTRY_COMPARE(QDir(dir.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
    }

    void chooseFileResetsTheCurrentDirectoryAndFallsBack()
    {
        testing_support::ScopedGuiFakes fakes;
        QTemporaryDir app;
        QTemporaryDir elsewhere;
        QDir(app.path()).mkdir("csv");

        // The dialog moves the current directory, as the platform's does.
        fakes.boxes().shown.clear();
        fakes.dialogs().answers = {std::nullopt, QString(app.path() + "/csv/list.csv")};
        QDir::setCurrent(elsewhere.path());
        auto cancelled = platform::chooseFile(
            nullptr, {platform::kHideReadOnly, app.path() + "/missing", "CSV(*.csv)|*.csv"},
            app.path());
        QVERIFY(!cancelled);
        QCOMPARE(QDir::currentPath(), QDir(app.path()).canonicalPath());
        QCOMPARE(fakes.dialogs().requests.at(0).initialDir, app.path());

        QDir::setCurrent(elsewhere.path());
        auto chosen = platform::chooseFile(
            nullptr, {platform::kHideReadOnly, app.path() + "/csv", "CSV(*.csv)|*.csv"},
            app.path());
        QCOMPARE(chosen.value_or(QString()), app.path() + "/csv/list.csv");
        QCOMPARE(fakes.dialogs().requests.at(1).initialDir, app.path() + "/csv");
        QCOMPARE(fakes.dialogs().requests.at(1).flags, platform::kHideReadOnly);
        QCOMPARE(QDir::currentPath(), QDir(app.path()).canonicalPath());
    }
};

QTEST_MAIN(TestFileDialogs)
#include "test_file_dialogs.moc"
