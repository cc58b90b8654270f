// Where the program keeps ini/, csv/, txt/ and log/: beside the executable while that folder
// is writable, else in the user's own data folder.
#include "core/platform/app_folder.h"
#include "core/platform/owner_only_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <unistd.h>

using platform::AppFolderLayout;

class TestAppFolder : public QObject
{
    Q_OBJECT
private slots:
    void chooses()
    {
        QTemporaryDir exe;
        QTemporaryDir home;
        const QString perUser = home.filePath("kezmailer_d100");

        // A writable folder beside the executable stays the application folder.
        platform::AppFolder folder = platform::chooseAppFolder(exe.path(), perUser);
        QCOMPARE(folder.path, exe.path());
        QCOMPARE(folder.layout, AppFolderLayout::Portable);
        // The probe leaves nothing behind.
        QCOMPARE(QDir(exe.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());

        // Not writable: the per-user folder, whatever the executable's folder holds.
        const auto never = [](const QString&) { return false; };
        folder = platform::chooseAppFolder(exe.path(), perUser, never);
        QCOMPARE(folder.path, perUser);
        QCOMPARE(folder.layout, AppFolderLayout::PerUser);

        // The check is asked about the executable's folder and nothing else.
        QStringList asked;
        platform::chooseAppFolder(exe.path(), perUser, [&](const QString& f) {
            asked << f;
            return true;
        });
        QCOMPARE(asked, QStringList({exe.path()}));

        // Without a per-user folder the executable's folder is all there is.
        folder = platform::chooseAppFolder(exe.path(), QString(), never);
        QCOMPARE(folder.path, exe.path());

        // An installed copy keeps nothing beside itself, even where it could write (root in
        // /usr/bin); the folder is matched through its canonical path.
        const auto always = [](const QString&) { return true; };
        QVERIFY(QFile::link(exe.path(), home.filePath("bin-link")));
        folder = platform::chooseAppFolder(exe.path(), perUser, always,
                                           {home.filePath("elsewhere"), home.filePath("bin-link")});
        QCOMPARE(folder.layout, AppFolderLayout::PerUser);
        QCOMPARE(folder.path, perUser);
        // A setup someone made beside an installed copy stays where it is.
        QVERIFY(QDir(exe.path()).mkdir("ini"));
        folder = platform::chooseAppFolder(exe.path(), perUser, always, {exe.path()});
        QCOMPARE(folder.layout, AppFolderLayout::Portable);
    }

    void probesForWriting()
    {
        QTemporaryDir dir;
        QVERIFY(platform::canCreateFilesIn(dir.path()));
        QVERIFY(!platform::canCreateFilesIn(dir.filePath("missing")));
        QVERIFY(!platform::canCreateFilesIn(QString()));
        QFile file(dir.filePath("a-file"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(!platform::canCreateFilesIn(file.fileName()));

        // Permission bits bind every user but root (the installed program's test runs it as
        // another user for that).
        if (geteuid() != 0) {
            const QString locked = dir.filePath("locked");
            QVERIFY(QDir().mkdir(locked));
            QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
            QVERIFY(!platform::canCreateFilesIn(locked));
            QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }

    void createsTheFourFolders()
    {
        QTemporaryDir home;
        const QString folder = home.filePath(".local/share/kezmailer_d100");
        QVERIFY(platform::createAppSubfolders(folder, nullptr));
        for (const char* sub : {"ini", "csv", "txt", "log"})
            QVERIFY2(QFileInfo(folder + '/' + sub).isDir(), sub);
        // Again: nothing to do, nothing fails, what was there stays.
        QFile keep(folder + "/ini/kezmail.ini");
        QVERIFY(keep.open(QIODevice::WriteOnly));
        keep.write("MAIL=a@x.jp\r\n");
        keep.close();
        QVERIFY(platform::createAppSubfolders(folder, nullptr));
        QCOMPARE(QFileInfo(keep.fileName()).size(), qint64(13));

        // A file where a folder belongs is reported, not taken for the folder.
        const QString blocked = home.filePath("blocked");
        QVERIFY(QDir().mkpath(blocked));
        QFile log(blocked + "/log");
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.close();
        QString failure;
        QVERIFY(!platform::createAppSubfolders(blocked, &failure));
        QVERIFY(!failure.isEmpty());
    }

    // Only the copies a killed save of our own files leaves go; their look-alikes stay.
    void unfinishedSavesAreRemoved()
    {
        enum Kind { File, Folder, Link };
        struct Entry
        {
            const char* name;
            Kind kind;
            bool removed;
        };
        const Entry entries[] = {
            {"kezmail.ini.Ab3_x-", File, true},
            {"bulk.ini.ZZZZZZ", File, true},
            {"kezmail.ini.09az-_", File, true},
            {"kezmail.ini", File, false},
            {"bulk.ini", File, false},
            {"kezmail.ini.Ab3_x", File, false},   // five characters
            {"kezmail.ini.Ab3_x-7", File, false}, // seven
            {"kezmail.ini.Ab3.x-", File, false},  // a dot is not among them
            {"kezmail.ini.Ab3 x-", File, false},
            {"kezmail.ini.bakbak", Folder, false},
            {"kezmail.ini.Lnk123", Link, false},
            {"Kezmail.ini.Ab3_x-", File, false},
            {"other.ini.Ab3_x-", File, false},
            {"kezmail.iniAb3_x-x", File, false},
            {"kezmail.ini.ＡＢＣＤＥＦ", File, false},
        };
        QTemporaryDir app;
        const QDir ini(app.filePath("ini"));
        QVERIFY(QDir().mkpath(ini.path()));
        const QString outside = app.filePath("outside.txt");
        QFile target(outside);
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.close();
        for (const Entry& e : entries) {
            const QString path = ini.filePath(QString::fromUtf8(e.name));
            QFile file(path);
            QVERIFY(e.kind == Folder ? QDir().mkpath(path)
                    : e.kind == Link ? QFile::link(outside, path)
                                     : file.open(QIODevice::WriteOnly));
        }
        // Copies named by Qt's own generator, the one QSaveFile draws its names from.
        QStringList generated;
        for (int i = 0; i < 20; ++i) {
            QTemporaryFile copy(ini.filePath("kezmail.ini.XXXXXX"));
            copy.setAutoRemove(false);
            QVERIFY(copy.open());
            generated << QFileInfo(copy.fileName()).fileName();
        }

        const int expected = 20 + int(std::count_if(std::begin(entries), std::end(entries),
                                                    [](const Entry& e) { return e.removed; }));
        QCOMPARE(platform::removeUnfinishedSaves(ini.path(), {"kezmail.ini", "bulk.ini"}),
                 expected);
        for (const Entry& e : entries) {
            const QFileInfo left(ini.filePath(QString::fromUtf8(e.name)));
            QVERIFY2((left.exists() || left.isSymLink()) != e.removed, e.name);
        }
        for (const QString& name : generated)
            QVERIFY2(!QFileInfo::exists(ini.filePath(name)), qPrintable(name));
        QVERIFY(QFileInfo::exists(outside));
    }

    void perUserFolderIsTheUsersOwn()
    {
        qputenv("XDG_DATA_HOME", "/home/operator/.local/share");
        QCoreApplication::setApplicationName("kezmailer_d100");
        QCOMPARE(platform::perUserAppFolder(),
                 QString("/home/operator/.local/share/kezmailer_d100"));
    }
};

QTEST_GUILESS_MAIN(TestAppFolder)
#include "test_app_folder.moc"
