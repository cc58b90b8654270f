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
using bulk::MailKind;
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
    s.footer = QStringLiteral("送信者名：ケズ\n住所：C:\\n\\");
    s.preflightDns = QStringLiteral("::1");
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
    void footerInMails_data();
    void footerInMails();
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
    QTest::newRow("a DNS server by name") << 0 << good + "PREFLIGHTDNS=dns.example.jp\r\n"
                                          << QStringLiteral("IPアドレスではありません") << url;
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
    // The footer keeps to its line: a typed "\n" is not read back as a line break.
    QVERIFY2(bytes.contains(
                 QStringLiteral("\r\nFOOTER=送信者名：ケズ\\n住所：C:\\\\n\\\\\r\n").toUtf8()),
             bytes.constData());
    QCOMPARE(bytes.count("\r\n"), 20);

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

void TestBulkSettings::footerInMails_data()
{
    QTest::addColumn<QString>("footer");   // saved by the dialog's save
    QTest::addColumn<QByteArray>("typed"); // or a FOOTER line written by hand instead
    QTest::addColumn<QString>("url");
    QTest::addColumn<MailKind>("kind");
    QTest::addColumn<QString>("given"); // the footer passed in (merge fields filled); null: none
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("sent");    // the body as decorated
    QTest::addColumn<QString>("refusal"); // a part of why the run does not start

    const QString url = QStringLiteral("https://example.jp/stop?a={address}");
    const QString footer =
        QStringLiteral("送信者名：ケズ\n停止：{unsubscribe_url}\nメール：{unsubscribe_mailto}\n"
                       "宛先：{address}");
    const QString filled = QStringLiteral(
        "送信者名：ケズ\r\n停止：https://example.jp/stop?a=t%2B1%40example.jp\r\nメール：mailto:"
        "stop@example.jp?subject=%E5%81%9C%E6%AD%A2&body=t%2B1%40example.jp\r\n宛先：t+1@example."
        "jp");
    const QString body = QStringLiteral("本文\r\n");
    const QString none;
    QTest::newRow("delivery, body ending in CR LF")
        << footer << QByteArray() << url << MailKind::Delivery << none << body
        << QStringLiteral("本文\r\n\r\n") + filled << none;
    QTest::newRow("test mail, body without a line end")
        << footer << QByteArray() << url << MailKind::Test << none << QStringLiteral("本文")
        << QStringLiteral("本文\r\n\r\n") + filled << none;
    QTest::newRow("empty body: the footer alone")
        << footer << QByteArray() << url << MailKind::Delivery << none << QString() << filled
        << none;
    QTest::newRow("notice: never")
        << footer << QByteArray() << url << MailKind::Notice << none << body << body << none;
    QTest::newRow("empty footer: the body as typed, bare LF and all")
        << QString() << QByteArray() << url << MailKind::Delivery << none
        << QStringLiteral("a\n\nb \r") << QStringLiteral("a\n\nb \r") << none;
    QTest::newRow("backslashes, a tab and CR LF kept through the file")
        << QStringLiteral("C:\\new\\\t\\\r\n末尾\\") << QByteArray() << url << MailKind::Delivery
        << none << body << QStringLiteral("本文\r\n\r\nC:\\new\\\t\\\r\n末尾\\") << none;
    QTest::newRow("merge fields left to the merge, a given footer instead")
        << footer << QByteArray() << url << MailKind::Delivery
        << QStringLiteral("{{氏名}}様\n{address}") << body
        << QStringLiteral("本文\r\n\r\n{{氏名}}様\r\nt+1@example.jp") << none;
    QTest::newRow("a misspelt placeholder")
        << QStringLiteral("停止：{Unsubscribe_url}") << QByteArray() << url << MailKind::Delivery
        << none << body << none << QStringLiteral("「{Unsubscribe_url}」は使えません");
    QTest::newRow("the URL placeholder without a URL")
        << QStringLiteral("停止：{unsubscribe_url}") << QByteArray() << QString() << MailKind::Test
        << none << body << none << QStringLiteral("配信停止用URLが入力されていません");
    QTest::newRow("a broken escape written by hand")
        << QString() << QByteArray("FOOTER=C:\\new\\q\r\n") << url << MailKind::Delivery << none
        << body << none << QStringLiteral("12行目: 「FOOTER」の値の「\\」のあと");
    QTest::newRow("a backslash ending the line")
        << QString() << QByteArray("FOOTER=end\\\r\n") << url << MailKind::Delivery << none << body
        << none << QStringLiteral("「FOOTER」");
}

void TestBulkSettings::footerInMails()
{
    QFETCH(QString, footer);
    QFETCH(QByteArray, typed);
    QFETCH(QString, url);
    QFETCH(MailKind, kind);
    QFETCH(QString, given);
    QFETCH(QString, body);
    QFETCH(QString, sent);
    QFETCH(QString, refusal);
    TempAppDir app;
    BulkSettings s;
    s.unsubscribeUrl = url;
    s.unsubscribeMailto = QStringLiteral("stop@example.jp?subject=停止&body={address}");
    s.footer = footer;
    if (typed.isEmpty())
        QVERIFY(bulk::SaveBulkSettings(app.path(), s, nullptr));
    else
        app.write(kIni, bulk_testing::completeBulkIni() + typed);

    QString why;
    const std::optional<bulk::RunOptions> options =
        kind == MailKind::Test ? bulk::RunOptions::prepareTestMail(app.path(), &why)
                               : bulk::RunOptions::prepareRun(app.path(), &why);
    if (!refusal.isEmpty()) {
        QVERIFY(!options);
        QVERIFY2(why.contains(refusal), qPrintable(why));
        QVERIFY2(why.contains(QDir::toNativeSeparators(app.file(kIni))), qPrintable(why));
        return;
    }
    QVERIFY2(options, qPrintable(why));
    transport::MailRequest request;
    request.to = QStringLiteral(" <t+1@example.jp> ");
    request.body = body;
    options->decorate(request, kind, given.isNull() ? std::nullopt : std::optional<QString>(given));
    QCOMPARE(request.body, sent);
}

QTEST_GUILESS_MAIN(TestBulkSettings)
#include "test_bulk_settings.moc"
