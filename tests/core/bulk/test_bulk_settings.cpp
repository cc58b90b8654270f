// ini/bulk.ini: what a missing, partial or damaged file means, and that a save is complete,
// private and atomic.
#include "core/bulk/bulk_settings.h"
#include "fakes.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <filesystem>

using bulk::BulkFileState;
using bulk::BulkSettings;
using testing_support::TempAppDir;

namespace {

const QString kIni = QStringLiteral("ini/bulk.ini");

BulkSettings everythingSet()
{
    BulkSettings s;
    s.unsubscribeMailto = QStringLiteral("mailto:stop@example.jp?subject=stop%20{address}");
    s.unsubscribeUrl = QStringLiteral("https://example.jp/stop?a={address}&b=1");
    s.precedenceBulk = false;
    s.autoSubmitted = true;
    s.oncePerRun = false;
    s.suppress = true;
    s.suppressionPath = QStringLiteral("/home/kez/配信停止 リスト.csv");
    s.dkim = true;
    s.dkimDomain = QStringLiteral("example.jp");
    s.dkimSelector = QStringLiteral("kez2025");
    s.dkimKeyPath = QStringLiteral("/home/kez/ini/dkim=key.pem");
    return s;
}

} // namespace

class TestBulkSettings : public QObject
{
    Q_OBJECT

private slots:
    void missingFileIsEverythingOff();
    void partialFile_data();
    void partialFile();
    void unreadableFileIsEverythingOff_data();
    void unreadableFileIsEverythingOff();
    void saveRoundTripsAsUtf8OwnerOnly();
    void saveRefusesControlCharacters();
    void failedSaveNamesTheFileAndKeepsTheOldOne();
};

void TestBulkSettings::missingFileIsEverythingOff()
{
    TempAppDir app;
    const bulk::LoadedBulkSettings loaded = bulk::LoadBulkSettings(app.path());
    QCOMPARE(loaded.state, BulkFileState::Missing);
    QCOMPARE(loaded.settings, BulkSettings{});
    QVERIFY(!loaded.settings.precedenceBulk && !loaded.settings.oncePerRun);
    // Looking does not create it.
    QVERIFY(!QFile::exists(app.file(kIni)));
}

void TestBulkSettings::partialFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<BulkSettings>("expected");

    BulkSettings defaults;
    defaults.precedenceBulk = defaults.autoSubmitted = defaults.oncePerRun = true;
    QTest::newRow("empty file: the bulk switches are on") << QByteArray() << defaults;

    BulkSettings url = defaults;
    url.unsubscribeUrl = QStringLiteral("https://example.jp/u?a={address}&x=y=z");
    QTest::newRow("one key, LF ends, a value holding =")
        << QByteArray("UNSUBURL=https://example.jp/u?a={address}&x=y=z\n") << url;

    BulkSettings switches = defaults;
    switches.precedenceBulk = false;
    switches.suppress = true;
    switches.suppressionPath = QStringLiteral("/tmp/停止.csv");
    QTest::newRow("byte-order mark, CR ends, switches, last key wins, junk ignored")
        << QByteArray("\xEF\xBB\xBFPRECEDENCE=0\rSUPPRESS= 1 \rSUPPRESSPATH=/tmp/old.csv\r"
                      "SUPPRESSPATH=/tmp/\xE5\x81\x9C\xE6\xAD\xA2.csv\rONCEPERRUN=yes\r"
                      "AUTOSUBMITTED=2\rdkim=1\r=x\rnonsense\r")
        << switches;
}

void TestBulkSettings::partialFile()
{
    QFETCH(QByteArray, content);
    QFETCH(BulkSettings, expected);
    TempAppDir app;
    app.write(kIni, content);
    const bulk::LoadedBulkSettings loaded = bulk::LoadBulkSettings(app.path());
    QCOMPARE(loaded.state, BulkFileState::Loaded);
    QCOMPARE(loaded.settings.unsubscribeUrl, expected.unsubscribeUrl);
    QCOMPARE(loaded.settings.suppressionPath, expected.suppressionPath);
    QCOMPARE(loaded.settings, expected);
}

void TestBulkSettings::unreadableFileIsEverythingOff_data()
{
    QTest::addColumn<bool>("folder");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reasonPart");
    // "配信停止" in code page 932: a file saved by a Windows editor in the wrong encoding.
    QTest::newRow("not UTF-8") << false << QByteArray("SUPPRESSPATH=\x94\x7A\x90\x4D\r\nDKIM=1\r\n")
                               << QStringLiteral("UTF-8");
    QTest::newRow("a folder") << true << QByteArray() << QStringLiteral("ファイルではありません");
}

void TestBulkSettings::unreadableFileIsEverythingOff()
{
    QFETCH(bool, folder);
    QFETCH(QByteArray, content);
    QFETCH(QString, reasonPart);
    TempAppDir app;
    if (folder)
        QVERIFY(QDir().mkpath(app.file(kIni)));
    else
        app.write(kIni, content);
    const bulk::LoadedBulkSettings loaded = bulk::LoadBulkSettings(app.path());
    QCOMPARE(loaded.state, BulkFileState::Unreadable);
    QCOMPARE(loaded.settings, BulkSettings{});
    QVERIFY2(loaded.reason.contains(reasonPart), qPrintable(loaded.reason));
    const QString message = bulk::UnreadableMessage(app.path(), loaded.reason);
    QVERIFY2(message.contains(QDir::toNativeSeparators(app.file(kIni))), qPrintable(message));
}

void TestBulkSettings::saveRoundTripsAsUtf8OwnerOnly()
{
    TempAppDir app;
    QVERIFY(QDir(app.file(QStringLiteral("ini"))).removeRecursively());
    const BulkSettings s = everythingSet();
    QVERIFY(bulk::SaveBulkSettings(app.path(), s, nullptr));
    QCOMPARE(bulk::LoadBulkSettings(app.path()).settings, s);

    const QByteArray bytes = app.read(kIni);
    QVERIFY2(bytes.contains(
                 QStringLiteral("\r\nSUPPRESSPATH=/home/kez/配信停止 リスト.csv\r\n").toUtf8()),
             bytes.constData());
    QVERIFY(bytes.contains("\r\nPRECEDENCE=0\r\n"));
    QVERIFY(bytes.contains("\r\nDKIM=1\r\n"));
    QVERIFY(bytes.endsWith("\r\n"));
    QCOMPARE(bytes.count("\r\n"), 11);

#ifdef Q_OS_UNIX
    namespace fs = std::filesystem;
    const fs::path path = app.file(kIni).toStdString();
    const fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
    QCOMPARE(fs::status(path).permissions() & fs::perms::mask, ownerOnly);
    // A copy that others could read is replaced by a private one.
    fs::permissions(path, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    QVERIFY(bulk::SaveBulkSettings(app.path(), s, nullptr));
    QCOMPARE(fs::status(path).permissions() & fs::perms::mask, ownerOnly);
#endif
}

void TestBulkSettings::saveRefusesControlCharacters()
{
    TempAppDir app;
    const QByteArray old = "DKIM=0\r\n";
    app.write(kIni, old);
    BulkSettings s = everythingSet();
    // A pasted line break would add a key of its own to the file.
    s.unsubscribeUrl = QStringLiteral("https://example.jp/\r\nSUPPRESS=0");
    bulk::BulkSaveError error;
    QVERIFY(!bulk::SaveBulkSettings(app.path(), s, &error));
    QCOMPARE(error.key, QStringLiteral("UNSUBURL"));
    QVERIFY2(error.message.contains(QStringLiteral("配信停止用URL")), qPrintable(error.message));
    QCOMPARE(app.read(kIni), old);
}

void TestBulkSettings::failedSaveNamesTheFileAndKeepsTheOldOne()
{
    TempAppDir app;
    QVERIFY(QDir(app.file(QStringLiteral("ini"))).removeRecursively());
    app.write(QStringLiteral("ini"), "not a folder");
    bulk::BulkSaveError error;
    QVERIFY(!bulk::SaveBulkSettings(app.path(), everythingSet(), &error));
    QVERIFY(error.key.isEmpty());
    QVERIFY2(error.message.contains(QDir::toNativeSeparators(app.file(kIni))),
             qPrintable(error.message));
    QCOMPARE(app.read(QStringLiteral("ini")), QByteArray("not a folder"));
}

QTEST_GUILESS_MAIN(TestBulkSettings)
#include "test_bulk_settings.moc"
