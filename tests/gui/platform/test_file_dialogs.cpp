#include "gui_fakes.h"

#include "gui/platform/file_dialogs.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class TestFileDialogs : public QObject
{
    Q_OBJECT
private slots:
    void pipeFiltersBecomeQtFilters()
    {
        QCOMPARE(platform::toQtFilter("CSV(*.csv)|*.csv"), QString("CSV(*.csv) (*.csv)"));
        QCOMPARE(platform::toQtFilter("Log(*.log)|*.log|ALL(*.*)|*.*"),
                 QString("Log(*.log) (*.log);;ALL(*.*) (*.*)"));
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
