// Where the program keeps ini/, csv/, txt/ and log/: beside the executable while that folder
// is writable, else in the user's own data folder.
#include "core/platform/app_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
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
