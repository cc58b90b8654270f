// ini/bulk.ini: what a missing or damaged file means, and that a save is complete, private and
// atomic.
#include "bulk_test_tools.h"
#include "core/bulk/bulk_run.h"
#include "core/bulk/bulk_settings.h"
#include "fakes.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <filesystem>

#include <unistd.h>

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
    s.journalDays = 30;
    s.paceRules = {{QStringLiteral("docomo.ne.jp"), 3, 600},
                   {QStringLiteral("*.ne.jp"), 1, 0},
                   {QStringLiteral("例え.jp"), 0, 100}};
    return s;
}

} // namespace

class TestBulkSettings : public QObject
{
    Q_OBJECT

private slots:
    void missingFileMeansOneMailPerAddress();
    void readsAFileEditedByHand();
    void damagedFileStopsRunAndTestMail_data();
    void damagedFileStopsRunAndTestMail();
    void saveRoundTripsAsUtf8OwnerOnly();
    void saveRefusesControlCharacters();
    void failedSaveNamesTheFileAndKeepsTheOldOne();
};

void TestBulkSettings::missingFileMeansOneMailPerAddress()
{
    TempAppDir app;
    const bulk::LoadedBulkSettings loaded = bulk::LoadBulkSettings(app.path());
    QCOMPARE(loaded.state, BulkFileState::Missing);
    const BulkSettings& s = loaded.settings;
    QVERIFY(s.oncePerRun);
    // Nothing that changes a mail, and nothing that needs a value of the operator's.
    QVERIFY(!s.precedenceBulk && !s.autoSubmitted && !s.suppress && !s.dkim);
    QVERIFY(s.unsubscribeMailto.isEmpty() && s.unsubscribeUrl.isEmpty());
    // Looking does not create it.
    QVERIFY(!QFile::exists(app.file(kIni)));

    QString refusal;
    std::optional<bulk::RunOptions> run = bulk::RunOptions::prepareRun(app.path(), &refusal);
    QVERIFY2(run, qPrintable(refusal));
    QCOMPARE(run->skipReason(QStringLiteral("taro@example.jp")), std::nullopt);
    run->noteSent(QStringLiteral("taro@example.jp"));
    QCOMPARE(run->skipReason(QStringLiteral("taro@example.jp")),
             std::optional<QString>(QStringLiteral("同じ配信で送信済みのため送信しませんでした")));
}

void TestBulkSettings::readsAFileEditedByHand()
{
    // As an editor on Linux leaves it: LF ends, a byte-order mark, a blank line, blanks around
    // a switch, a value holding "=". The dialog's own file is read in
    // saveRoundTripsAsUtf8OwnerOnly.
    QByteArray edited =
        bulk_testing::completeBulkIni("UNSUBURL=https://example.jp/u?a={address}&x=y");
    edited.replace("\r\n", "\n")
        .replace("SUPPRESS=0", "SUPPRESS= 1 ")
        .replace("DKIM=0", "\nDKIM=0");
    TempAppDir app;
    app.write(kIni, "\xEF\xBB\xBF" + edited);
    const bulk::LoadedBulkSettings loaded = bulk::LoadBulkSettings(app.path());
    QVERIFY2(loaded.state == BulkFileState::Loaded, qPrintable(loaded.reason));
    QCOMPARE(loaded.settings.unsubscribeUrl,
             QStringLiteral("https://example.jp/u?a={address}&x=y"));
    QVERIFY(loaded.settings.suppress && loaded.settings.precedenceBulk && !loaded.settings.dkim);
    // Written before the journal's key existed: the journal keeps its runs for the default.
    QCOMPARE(loaded.settings.journalDays, bulk::kDefaultJournalDays);
    // And before the pacing rules: no domain is held, the run goes as it always went.
    QVERIFY(loaded.settings.paceRules.isEmpty());
}

void TestBulkSettings::damagedFileStopsRunAndTestMail_data()
{
    QTest::addColumn<int>("kind"); // 0 the content, 1 a folder, 2 a link to itself, 3 mode 000
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reasonPart");
    QTest::addColumn<QString>("url"); // what the dialog is shown of UNSUBURL

    const QString url = QStringLiteral("https://example.jp/stop?a={address}");
    const QByteArray good = bulk_testing::completeBulkIni(
        "UNSUBURL=" + url.toUtf8() + "\nSUPPRESS=1\nSUPPRESSPATH=/tmp/stop.csv\nDKIM=1\n");
    auto with = [&good](const char* from, const QByteArray& to) {
        return QByteArray(good).replace(from, to);
    };
    QTest::newRow("a stray byte") << 0 << with("DKIMSELECTOR=", "DKIMSELECTOR=\xff")
                                  << QStringLiteral("5行目が UTF-8") << url;
    // "配信停止" saved in code page 932 by a Windows editor.
    QTest::newRow("a Shift_JIS line")
        << 0 << with("SUPPRESSPATH=/tmp/stop.csv", "SUPPRESSPATH=\x94\x7A\x90\x4D.csv")
        << QStringLiteral("3行目が UTF-8") << url;
    QTest::newRow("cut in a line") << 0 << good.left(good.indexOf("ONCEPERRUN=") + 5)
                                   << QStringLiteral("9行目が改行で終わっていません") << url;
    QTest::newRow("cut at a line end") << 0 << good.left(good.indexOf("SUPPRESS=1"))
                                       << QStringLiteral("SUPPRESS、DKIM の行がありません") << url;
    QTest::newRow("empty") << 0 << QByteArray() << QStringLiteral("空です") << QString();
    QTest::newRow("a byte-order mark alone")
        << 0 << QByteArray("\xEF\xBB\xBF") << QStringLiteral("空です") << QString();
    QTest::newRow("an unknown key") << 0 << good + "SUPRESS=1\r\n"
                                    << QStringLiteral("「SUPRESS」") << url;
    QTest::newRow("a key in lower case")
        << 0 << with("DKIM=1", "dkim=1") << QStringLiteral("「dkim」") << url;
    QTest::newRow("an unknown value")
        << 0 << with("SUPPRESS=1", "SUPPRESS=yes") << QStringLiteral("「yes」") << url;
    QTest::newRow("a key twice, the second switching off")
        << 0 << good + "DKIM=0\r\n"
        << QStringLiteral("「DKIM」が２度") << url;
    QTest::newRow("journal days out of range") << 0 << good + "JOURNALDAYS=0\r\n"
                                               << QStringLiteral("1 から 36500 までの日数") << url;
    QTest::newRow("a pacing rule without its hourly limit")
        << 0 << good + "PACING=*.ne.jp,1,0;docomo.ne.jp,3\r\n"
        << QStringLiteral("12行目: 「PACING」の2番目の規則「docomo.ne.jp,3」") << url;
    QTest::newRow("a pacing domain twice")
        << 0 << good + "PACING=docomo.ne.jp,3,600;DOCOMO.ne.jp,1,0\r\n"
        << QStringLiteral("「DOCOMO.ne.jp」が２度") << url;
    QTest::newRow("a pacing gap with a sign")
        << 0 << good + "PACING=docomo.ne.jp,-3,600\r\n"
        << QStringLiteral("最小間隔（秒）は 0 以上の整数") << url;
    QTest::newRow("a line without =")
        << 0 << with("DKIM=1", "DKIM") << QStringLiteral("11行目") << url;
    QTest::newRow("a folder") << 1 << QByteArray() << QStringLiteral("ファイルではありません")
                              << QString();
    QTest::newRow("a link to itself")
        << 2 << QByteArray() << QStringLiteral("symbolic links") << QString();
    QTest::newRow("mode 000") << 3 << good << QStringLiteral("Permission denied") << QString();
}

void TestBulkSettings::damagedFileStopsRunAndTestMail()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, content);
    QFETCH(QString, reasonPart);
    QFETCH(QString, url);
    TempAppDir app;
    const QString path = app.file(kIni);
    if (kind == 1)
        QVERIFY(QDir().mkpath(path));
    else if (kind == 2)
        QVERIFY(QFile::link(path, path));
    else
        app.write(kIni, content);
    if (kind == 3) {
        if (geteuid() == 0)
            QSKIP("root reads a file of mode 000; the link to itself fails the same open");
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    }

    const bulk::LoadedBulkSettings loaded = bulk::LoadBulkSettings(app.path());
    QCOMPARE(loaded.state, BulkFileState::Unreadable);
    QVERIFY2(loaded.reason.contains(reasonPart), qPrintable(loaded.reason));
    // The dialog is shown what the readable lines hold.
    QCOMPARE(loaded.settings.unsubscribeUrl, url);

    // The run and the test mail refuse alike, naming the file, the reason and where to mend it.
    for (const bool forRun : {true, false}) {
        QString refusal;
        const std::optional<bulk::RunOptions> options =
            forRun ? bulk::RunOptions::prepareRun(app.path(), &refusal, "kez@example.jp")
                   : bulk::RunOptions::prepareTestMail(app.path(), &refusal, "kez@example.jp");
        QVERIFY(!options);
        const QStringList lines = refusal.split(QLatin1Char('\n'));
        QCOMPARE(lines.first(), QStringLiteral("配信オプションのファイルを読み込めませんでした。"));
        QCOMPARE(lines.at(1), QDir::toNativeSeparators(path));
        QVERIFY2(refusal.contains(reasonPart), qPrintable(refusal));
        QVERIFY2(lines.last().contains(QStringLiteral("「設定」→「配信オプション」")),
                 qPrintable(refusal));
    }
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
    QVERIFY2(
        bytes.contains(
            QStringLiteral("\r\nPACING=docomo.ne.jp,3,600;*.ne.jp,1,0;例え.jp,0,100\r\n").toUtf8()),
        bytes.constData());
    QCOMPARE(bytes.count("\r\n"), 18);

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

    // Rules the next run would refuse to read are not written either.
    s = everythingSet();
    s.paceRules.append({QStringLiteral("*.docomo.*"), 1, 0});
    QVERIFY(!bulk::SaveBulkSettings(app.path(), s, &error));
    QCOMPARE(error.key, QStringLiteral("PACING"));
    QVERIFY2(error.message.contains(QStringLiteral("4行目")), qPrintable(error.message));
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
