// The suppression list and the one mail per address of a run: how addresses compare, how the
// list is read, and what a run is told before it starts and for each address.
#include "bulk_test_tools.h"
#include "core/bulk/bulk_run.h"
#include "core/bulk/suppression.h"
#include "core/platform/text_files.h"
#include "fakes.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTest>

using testing_support::TempAppDir;

namespace {

QByteArray cp932(const QString& text)
{
    return *platform::encodeCp932(text);
}

// UTF-16 as Notepad saves "Unicode" (little endian) or "Unicode big endian", with the mark.
QByteArray utf16(const QString& text, bool bigEndian)
{
    QByteArray bytes = bigEndian ? QByteArray("\xFE\xFF") : QByteArray("\xFF\xFE");
    for (const QChar c : text) {
        const char high = char(c.unicode() >> 8);
        const char low = char(c.unicode() & 0xFF);
        bytes += bigEndian ? QByteArray{&high, 1} + QByteArray{&low, 1}
                           : QByteArray{&low, 1} + QByteArray{&high, 1};
    }
    return bytes;
}

} // namespace

class TestSuppression : public QObject
{
    Q_OBJECT

private slots:
    void comparison_data();
    void comparison();
    void readsListsLikeRecipientLists_data();
    void readsListsLikeRecipientLists();
    void listFormats_data();
    void listFormats();
    void appendKeepsTheFile_data();
    void appendKeepsTheFile();
    void unreadableListNamesFileAndReason();
    void runSkipsWithTheLogTexts();
    void nothingAddedWithoutBulkIni();
    void refusedStarts_data();
    void refusedStarts();
    void testMailDoesNotReadTheList();
};

void TestSuppression::comparison_data()
{
    QTest::addColumn<QString>("listed");
    QTest::addColumn<QString>("probe");
    QTest::addColumn<bool>("suppressed");  // the suppression list: local part in any case
    QTest::addColumn<bool>("sameForSent"); // one mail per address: local part exact

    QTest::newRow("identical") << "taro@example.jp"
                               << "taro@example.jp" << true << true;
    QTest::newRow("domain in any case") << "taro@Example.JP"
                                        << "taro@example.jp" << true << true;
    QTest::newRow("local part case") << "Taro@example.jp"
                                     << "taro@example.jp" << true << false;
    QTest::newRow("local part dots and case") << "taro.yamada@example.jp"
                                              << "Taro.Yamada@EXAMPLE.JP" << true << false;
    QTest::newRow("non-ASCII local part case")
        << QStringLiteral("Ämi@example.jp") << QStringLiteral("ämi@example.jp") << true << false;
    QTest::newRow("blanks and controls around a line") << "taro@example.jp"
                                                       << " \ttaro@EXAMPLE.jp\x01 " << true << true;
    QTest::newRow("ideographic space around a line")
        << QStringLiteral("\u3000taro@example.jp") << QStringLiteral("taro@example.jp\u3000")
        << true << true;
    QTest::newRow("inner blank is kept") << "taro@example.jp"
                                         << "taro @example.jp" << false << false;
    QTest::newRow("angle brackets around the address") << "<taro@example.jp>"
                                                       << "taro@example.jp" << true << true;
    QTest::newRow("Japanese domain and its punycode")
        << QStringLiteral("hanako@例え.jp") << QStringLiteral("hanako@XN--R8JZ45G.jp") << true
        << true;
    QTest::newRow("Japanese local part, domain in any case")
        << QStringLiteral("山田@Example.JP") << QStringLiteral("山田@example.jp") << true << true;
    QTest::newRow("another Japanese local part")
        << QStringLiteral("山田@example.jp") << QStringLiteral("山本@example.jp") << false << false;
    QTest::newRow("full-width letters in a Japanese domain")
        << QStringLiteral("taro@ＥＸＡＭＰＬＥ.例え.jp") << QStringLiteral("taro@example.例え.jp")
        << true << true;
    QTest::newRow("a longer domain is another domain")
        << "taro@example.jp"
        << "taro@example.jp.evil.example" << false << false;
    QTest::newRow("a sub-domain is another domain") << "taro@example.jp"
                                                    << "taro@mail.example.jp" << false << false;
    QTest::newRow("the last @ splits") << "a@b@Example.jp"
                                       << "a@b@example.JP" << true << true;
    // Split at the first "@", "B@example.jp" would be a domain in any case and the two one
    // mailbox for one mail per address too.
    QTest::newRow("the last @ splits: local parts a@B and a@b")
        << "a@B@example.jp"
        << "a@b@example.jp" << true << false;
    QTest::newRow("no @") << "Postmaster"
                          << "postmaster" << true << false;
    QTest::newRow("plus tag is part of the local part") << "taro+news@example.jp"
                                                        << "taro@example.jp" << false << false;
}

void TestSuppression::comparison()
{
    QFETCH(QString, listed);
    QFETCH(QString, probe);
    QFETCH(bool, suppressed);
    QFETCH(bool, sameForSent);

    TempAppDir app;
    // A second line that is an address, so that a listed line without "@" is read too.
    const QString path = app.write(QStringLiteral("csv/stop.csv"),
                                   "\xEF\xBB\xBF" + listed.toUtf8() + "\r\nother@example.org\r\n");
    QString error;
    const std::optional<bulk::SuppressionList> list = bulk::SuppressionList::read(path, &error);
    QVERIFY2(list, qPrintable(error));
    QCOMPARE(list->contains(probe), suppressed);

    bulk::SentAddresses sent;
    sent.remember(listed);
    QCOMPARE(sent.contains(probe), sameForSent);
}

void TestSuppression::readsListsLikeRecipientLists_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QStringList>("notListed");

    const QStringList addresses = {QStringLiteral("taro@example.jp"),
                                   QStringLiteral("hanako@例え.jp"),
                                   QStringLiteral("jiro@example.com")};
    QTest::newRow("code page 932, CR LF, a blank line, no end at the last")
        << cp932(QStringLiteral("taro@example.jp\r\n\r\n  hanako@例え.jp \r\njiro@example.com"))
        << addresses << QStringList{QString(), QStringLiteral("saburo@example.jp")};
    QTest::newRow("UTF-8 with a byte-order mark, CR ends")
        << QByteArray("\xEF\xBB\xBF") +
               QStringLiteral("taro@example.jp\rhanako@例え.jp\rjiro@example.com\r").toUtf8()
        << addresses << QStringList{QStringLiteral("saburo@example.jp")};
    QTest::newRow("empty file") << QByteArray() << QStringList()
                                << QStringList{QString(), QStringLiteral("taro@example.jp")};
}

void TestSuppression::readsListsLikeRecipientLists()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, listed);
    QFETCH(QStringList, notListed);
    TempAppDir app;
    const QString path = app.write(QStringLiteral("csv/stop.csv"), content);
    QString error;
    const std::optional<bulk::SuppressionList> list = bulk::SuppressionList::read(path, &error);
    QVERIFY2(list, qPrintable(error));
    QCOMPARE(list->size(), listed.size());
    for (const QString& address : listed)
        QVERIFY2(list->contains(address), qPrintable(address));
    for (const QString& address : notListed)
        QVERIFY2(!list->contains(address), qPrintable(address));
}

void TestSuppression::listFormats_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("refusal"); // part of the reason; empty: the list is read
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QStringList>("notListed");

    const QString text = QStringLiteral("# 配信停止の申し出（2025年）\r\nTaro@Example.JP\r\n\r\n"
                                        "hanako@例え.jp\r\n#club@example.jp\r\n");
    const QStringList listed = {"taro@example.jp", "TARO@EXAMPLE.JP", "Hanako@xn--r8jz45g.jp",
                                "#club@example.jp"};
    const QStringList notListed = {"jiro@example.jp", "club@example.jp", QString()};
    QTest::newRow("UTF-16 LE with its mark")
        << utf16(text, false) << QString() << listed << notListed;
    QTest::newRow("UTF-16 BE with its mark")
        << utf16(text, true) << QString() << listed << notListed;
    QTest::newRow("UTF-8 with its mark")
        << "\xEF\xBB\xBF" + text.toUtf8() << QString() << listed << notListed;
    QTest::newRow("UTF-8 without a mark, LF ends")
        << QString(text).replace("\r\n", "\n").toUtf8() << QString() << listed << notListed;
    QTest::newRow("code page 932") << cp932(text) << QString() << listed << notListed;
    // Past the first piece the reader takes at a time (1 MiB), a character cut between two.
    QTest::newRow("code page 932, a long list")
        << cp932(QString(QStringLiteral("filler@example.jp\r\n")).repeated(60000) +
                 QStringLiteral("山田@例え.jp\r\n"))
        << QString() << QStringList{"山田@xn--r8jz45g.jp", "FILLER@example.jp"}
        << QStringList{"山本@例え.jp"};

    QTest::newRow("UTF-16 without a mark: NUL bytes")
        << utf16(text, false).mid(2) << "NUL" << QStringList() << QStringList();
    QTest::newRow("UTF-32 with its mark: NUL characters")
        << QByteArray("\xFF\xFE\0\0t\0\0\0@\0\0\0x\0\0\0", 16) << "NUL" << QStringList()
        << QStringList();
    QByteArray random(4096, Qt::Uninitialized);
    QRandomGenerator generator(20251207);
    for (char& c : random)
        c = char(generator.bounded(1, 256)); // no NUL: the encodings have to refuse them
    QTest::newRow("random bytes") << random << "文字コードが分かりません" << QStringList()
                                  << QStringList();
    QTest::newRow("UTF-16 cut in the middle of a character")
        << utf16(text, false).chopped(1) << "UTF-16 として読めない" << QStringList()
        << QStringList();
    QTest::newRow("UTF-8 mark, then a byte UTF-8 does not have")
        << QByteArray("\xEF\xBB\xBFtaro@example.jp\r\n\xFF\r\n") << "UTF-8 として読めない"
        << QStringList() << QStringList();
    QTest::newRow("code page 932 cut after a lead byte")
        << cp932(QStringLiteral("taro@example.jp\r\n山")).chopped(1) << "文字コードが分かりません"
        << QStringList() << QStringList();
    QTest::newRow("no line looks like an address")
        << cp932(QStringLiteral("氏名,電話\r\n山田,03-0000-0000\r\n@\r\nx@\r\n"))
        << "メールアドレスの行がありません" << QStringList() << QStringList();
    QTest::newRow("comments only")
        << QByteArray("# nobody yet\r\n# see a@b.example\r\n") << "メールアドレスの行がありません"
        << QStringList() << QStringList();
    QTest::newRow("blank lines only: nothing listed")
        << QByteArray("\r\n \t\r\n") << QString() << QStringList() << QStringList{"a@b.example"};
}

void TestSuppression::listFormats()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, refusal);
    QFETCH(QStringList, listed);
    QFETCH(QStringList, notListed);
    TempAppDir app;
    const QString path = app.write(QStringLiteral("csv/stop.csv"), content);
    QString error;
    const std::optional<bulk::SuppressionList> list = bulk::SuppressionList::read(path, &error);
    if (!refusal.isEmpty()) {
        QVERIFY2(!list, "read as a list");
        const QStringList lines = error.split(QLatin1Char('\n'));
        QCOMPARE(lines.value(0), QStringLiteral("配信停止リストを読み込めませんでした。"));
        QCOMPARE(lines.value(1), QDir::toNativeSeparators(path));
        QVERIFY2(lines.value(2).contains(refusal), qPrintable(error));
        return;
    }
    QVERIFY2(list, qPrintable(error));
    for (const QString& address : listed)
        QVERIFY2(list->contains(address), qPrintable(address));
    for (const QString& address : notListed)
        QVERIFY2(!list->contains(address), qPrintable(address));
}

// The expected bytes are written out by hand: what a hand-kept file must look like after the
// intake added an address, in the file's own encoding and line ends.
void TestSuppression::appendKeepsTheFile_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("after"); // empty: refused, the file unchanged
    QTest::addColumn<int>("result");

    const int added = int(bulk::AppendResult::Added);
    const int listed = int(bulk::AppendResult::AlreadyListed);
    const int failed = int(bulk::AppendResult::Failed);
    // 配信停止 in code page 932.
    const QByteArray sjisComment("# \x94\x7A\x90\x4D\x92\xE2\x8E\x7E\r\n");
    QTest::newRow("code page 932, CR LF")
        << sjisComment + "a@example.jp\r\n"
        << "new@example.jp" << sjisComment + "a@example.jp\r\nnew@example.jp\r\n"
        << added;
    QTest::newRow("code page 932, a Japanese domain in its own encoding")
        << sjisComment + "a@example.jp\r\n"
        << QStringLiteral("x@例え.jp") << sjisComment + "a@example.jp\r\nx@\x97\xE1\x82\xA6.jp\r\n"
        << added;
    QTest::newRow("UTF-8 with its mark, LF, last line without its end")
        << QByteArray("\xEF\xBB\xBF"
                      "a@example.jp\nb@example.jp")
        << "new@example.jp"
        << QByteArray("\xEF\xBB\xBF"
                      "a@example.jp\nb@example.jp\nnew@example.jp\n")
        << added;
    QTest::newRow("UTF-16 LE") << QByteArray("\xFF\xFE"
                                             "a\0@\0b\0.\0j\0p\0\r\0\n\0",
                                             18)
                               << "c@d.jp"
                               << QByteArray("\xFF\xFE"
                                             "a\0@\0b\0.\0j\0p\0\r\0\n\0c\0@\0d\0.\0j\0p\0\r\0\n\0",
                                             34)
                               << added;
    QTest::newRow("UTF-16 BE, no line end yet")
        << QByteArray("\xFE\xFF\0a\0@\0b\0.\0j\0p", 14) << "c@d.jp"
        << QByteArray("\xFE\xFF\0a\0@\0b\0.\0j\0p\0\r\0\n\0c\0@\0d\0.\0j\0p\0\r\0\n", 34) << added;
    QTest::newRow("already listed, in another case")
        << QByteArray("Taro@Example.JP\r\n") << "taro@example.jp"
        << QByteArray("Taro@Example.JP\r\n") << listed;
    QTest::newRow("a character code page 932 lacks")
        << sjisComment + "a@example.jp\r\n"
        << QStringLiteral("\U0001F600@example.jp") << QByteArray() << failed;
    QTest::newRow("an unreadable list is not written to")
        << QByteArray("a@example.jp\r\n\xFF\xFF\xFF\r\n") << "new@example.jp" << QByteArray()
        << failed;
}

void TestSuppression::appendKeepsTheFile()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, address);
    QFETCH(QByteArray, after);
    QFETCH(int, result);
    TempAppDir app;
    const QString path = app.write(QStringLiteral("csv/stop.csv"), before);
    QString error;
    QCOMPARE(int(bulk::AppendToSuppressionList(path, address, &error)), result);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray now = file.readAll();
    if (result == int(bulk::AppendResult::Failed)) {
        QCOMPARE(now, before);
        QVERIFY2(error.contains(QDir::toNativeSeparators(path)), qPrintable(error));
        return;
    }
    QCOMPARE(now, after);
    // And the list as a run reads it holds the address.
    const std::optional<bulk::SuppressionList> list = bulk::SuppressionList::read(path, &error);
    QVERIFY2(list && list->contains(address), qPrintable(error));
}

void TestSuppression::unreadableListNamesFileAndReason()
{
    TempAppDir app;
    for (const QString& path :
         {app.file(QStringLiteral("csv/missing.csv")), app.file(QStringLiteral("csv"))}) {
        QString error;
        QVERIFY(!bulk::SuppressionList::read(path, &error));
        const QStringList lines = error.split(QLatin1Char('\n'));
        QVERIFY2(lines.size() == 3, qPrintable(error));
        QCOMPARE(lines.at(0), QStringLiteral("配信停止リストを読み込めませんでした。"));
        QCOMPARE(lines.at(1), QDir::toNativeSeparators(path));
        QVERIFY2(!lines.at(2).trimmed().isEmpty(), qPrintable(error));
    }
}

void TestSuppression::runSkipsWithTheLogTexts()
{
    TempAppDir app;
    const QString list = app.write(QStringLiteral("csv/stop.csv"), "stop@example.jp\r\n");
    app.write(QStringLiteral("ini/bulk.ini"),
              bulk_testing::completeBulkIni(("SUPPRESS=1\r\nSUPPRESSPATH=" + list).toUtf8()));
    QString refusal;
    std::optional<bulk::RunOptions> run = bulk::RunOptions::prepareRun(app.path(), &refusal);
    QVERIFY2(run, qPrintable(refusal));
    QCOMPARE(run->suppressedCount(), 1);

    QCOMPARE(run->skipReason(QStringLiteral("stop@EXAMPLE.jp")),
             std::optional<QString>(
                 QStringLiteral("配信停止リストに登録されているため送信しませんでした")));
    QCOMPARE(run->skipReason(QStringLiteral("go@example.jp")), std::nullopt);
    run->noteSent(QStringLiteral("go@example.jp"));
    QCOMPARE(run->skipReason(QStringLiteral(" go@Example.JP ")),
             std::optional<QString>(QStringLiteral("同じ配信で送信済みのため送信しませんでした")));
    QCOMPARE(run->skipReason(QStringLiteral("Go@example.jp")), std::nullopt);
    // A blank line names nobody, so a second one is not "already sent".
    run->noteSent(QStringLiteral(" "));
    QCOMPARE(run->skipReason(QString()), std::nullopt);
    // The suppression list wins over the memory of the run.
    run->noteSent(QStringLiteral("stop@example.jp"));
    QCOMPARE(run->skipReason(QStringLiteral("stop@example.jp")),
             std::optional<QString>(bulk::SuppressedText()));

    // With the one mail per address switched off, a repeated address goes out again.
    app.write(QStringLiteral("ini/bulk.ini"), bulk_testing::completeBulkIni("ONCEPERRUN=0"));
    run = bulk::RunOptions::prepareRun(app.path(), &refusal);
    QVERIFY2(run, qPrintable(refusal));
    run->noteSent(QStringLiteral("go@example.jp"));
    QCOMPARE(run->skipReason(QStringLiteral("go@example.jp")), std::nullopt);
}

void TestSuppression::nothingAddedWithoutBulkIni()
{
    // A damaged bulk.ini refuses the start instead (test_bulk_settings).
    TempAppDir app;
    QString refusal;
    std::optional<bulk::RunOptions> run = bulk::RunOptions::prepareRun(app.path(), &refusal);
    QVERIFY2(run, qPrintable(refusal));
    QVERIFY2(bulk::RunOptions::prepareTestMail(app.path(), &refusal), qPrintable(refusal));
    QVERIFY(!run->signer());
    for (bulk::MailKind kind :
         {bulk::MailKind::Delivery, bulk::MailKind::Test, bulk::MailKind::Notice})
        QCOMPARE(run->headersFor(kind, QStringLiteral("taro@example.jp")), QString());
    transport::MailRequest request;
    request.to = QStringLiteral("taro@example.jp");
    run->decorate(request, bulk::MailKind::Delivery);
    QVERIFY(request.headers.isEmpty());
    QVERIFY(!request.signer);
}

void TestSuppression::refusedStarts_data()
{
    QTest::addColumn<QByteArray>("bulkIni");
    QTest::addColumn<QString>("named"); // relative to the application folder
    QTest::addColumn<QString>("reasonPart");

    QTest::newRow("suppression list missing")
        << QByteArray("SUPPRESS=1\r\nSUPPRESSPATH=@APP@/csv/none.csv\r\n")
        << QStringLiteral("csv/none.csv") << QStringLiteral("配信停止リスト");
    QTest::newRow("suppression on without a path")
        << QByteArray("SUPPRESS=1\r\nSUPPRESSPATH=\r\n") << QString()
        << QStringLiteral("指定されていません");
    QTest::newRow("DKIM key missing")
        << QByteArray("DKIM=1\r\nDKIMDOMAIN=example.jp\r\nDKIMSELECTOR=kez\r\n"
                      "DKIMKEY=@APP@/ini/none.pem\r\n")
        << QStringLiteral("ini/none.pem") << QStringLiteral("秘密鍵");
    QTest::newRow("DKIM key not a key")
        << QByteArray("DKIM=1\r\nDKIMDOMAIN=example.jp\r\nDKIMSELECTOR=kez\r\n"
                      "DKIMKEY=@APP@/ini/bulk.ini\r\n")
        << QStringLiteral("ini/bulk.ini") << QStringLiteral("PEM");
    QTest::newRow("a template edited by hand")
        << QByteArray("UNSUBURL=http://example.jp/stop\r\n") << QStringLiteral("ini/bulk.ini")
        << QStringLiteral("https://");
}

void TestSuppression::refusedStarts()
{
    QFETCH(QByteArray, bulkIni);
    QFETCH(QString, named);
    QFETCH(QString, reasonPart);
    TempAppDir app;
    app.write(QStringLiteral("ini/bulk.ini"),
              bulk_testing::completeBulkIni(bulkIni.replace("@APP@", app.path().toUtf8())));
    QString refusal;
    QVERIFY(!bulk::RunOptions::prepareRun(app.path(), &refusal));
    if (!named.isEmpty())
        QVERIFY2(refusal.contains(QDir::toNativeSeparators(app.file(named))), qPrintable(refusal));
    QVERIFY2(refusal.contains(reasonPart), qPrintable(refusal));
}

void TestSuppression::testMailDoesNotReadTheList()
{
    TempAppDir app;
    app.write(QStringLiteral("ini/bulk.ini"),
              bulk_testing::completeBulkIni(
                  ("SUPPRESS=1\r\nSUPPRESSPATH=" + app.file(QStringLiteral("csv/none.csv")) +
                   "\r\nUNSUBURL=https://example.jp/stop?a={address}\r\n")
                      .toUtf8()));
    QString refusal;
    const std::optional<bulk::RunOptions> test =
        bulk::RunOptions::prepareTestMail(app.path(), &refusal);
    QVERIFY2(test, qPrintable(refusal));
    QVERIFY(test->headersFor(bulk::MailKind::Test, QStringLiteral("kez@example.jp"))
                .startsWith(QLatin1String(
                    "List-Unsubscribe: <https://example.jp/stop?a=kez%40example.jp>")));
    QVERIFY(!bulk::RunOptions::prepareRun(app.path(), &refusal));
}

QTEST_GUILESS_MAIN(TestSuppression)
#include "test_suppression.moc"
