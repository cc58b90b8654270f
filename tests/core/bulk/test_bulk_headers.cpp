// The header fields a bulk sender adds, as each kind of mail gets them, and the checks of the
// unsubscribe templates.
#include "core/bulk/bulk_headers.h"

#include <QTest>

using bulk::BulkSettings;
using bulk::MailKind;

namespace {

const QString kMailto = QStringLiteral("mailto:stop@example.jp?subject=stop%20{address}");
const QString kUrl = QStringLiteral("https://example.jp/stop?a={address}");

BulkSettings withUnsubscribe(const QString& mailto, const QString& url)
{
    BulkSettings s;
    s.precedenceBulk = s.autoSubmitted = s.oncePerRun = true;
    s.unsubscribeMailto = mailto;
    s.unsubscribeUrl = url;
    return s;
}

} // namespace

class TestBulkHeaders : public QObject
{
    Q_OBJECT

private slots:
    void percentEncoding_data();
    void percentEncoding();
    void fieldsByKind_data();
    void fieldsByKind();
    void longFieldFoldsBetweenUris();
    void templateChecks_data();
    void templateChecks();
};

void TestBulkHeaders::percentEncoding_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("plain") << QStringLiteral("taro@example.jp") << QByteArray("taro%40example.jp");
    QTest::newRow("plus stays a plus, not a blank")
        << QStringLiteral("taro+news@example.jp") << QByteArray("taro%2Bnews%40example.jp");
    QTest::newRow("percent") << QStringLiteral("100%sure@example.jp")
                             << QByteArray("100%25sure%40example.jp");
    QTest::newRow("Japanese domain as UTF-8")
        << QStringLiteral("hanako@例え.jp") << QByteArray("hanako%40%E4%BE%8B%E3%81%88.jp");
    QTest::newRow("URL delimiters and unreserved marks")
        << QStringLiteral("a&b=c/d?e#f~g_h.i-j@example.jp")
        << QByteArray("a%26b%3Dc%2Fd%3Fe%23f~g_h.i-j%40example.jp");
}

void TestBulkHeaders::percentEncoding()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, encoded);
    QCOMPARE(bulk::PercentEncodedAddress(address), encoded);
    // Every occurrence of the placeholder is replaced, and nothing else.
    QCOMPARE(bulk::ExpandTemplate(QStringLiteral("https://x.jp/{address}/?a={address}&b={addr}"),
                                  address),
             "https://x.jp/" + encoded + "/?a=" + encoded + "&b={addr}");
    // Blanks around a list line and angle brackets around the address are not part of it.
    const QString field = bulk::ExtraHeaders(
        withUnsubscribe(QString(), QStringLiteral("https://x.jp/?a={address}")), MailKind::Delivery,
        QStringLiteral(" \t<") + address + QStringLiteral(">\u3000"));
    QCOMPARE(
        field.section(QLatin1String("\r\n"), 0, 0),
        QStringLiteral("List-Unsubscribe: <https://x.jp/?a=%1>").arg(QString::fromLatin1(encoded)));
}

void TestBulkHeaders::fieldsByKind_data()
{
    QTest::addColumn<BulkSettings>("settings");
    QTest::addColumn<MailKind>("kind");
    QTest::addColumn<QStringList>("fields");

    const QString to = QStringLiteral("t+1@example.jp");
    const QString mailtoField =
        QStringLiteral("<mailto:stop@example.jp?subject=stop%20t%2B1%40example.jp>");
    const QString urlField = QStringLiteral("<https://example.jp/stop?a=t%2B1%40example.jp>");
    const QString post = QStringLiteral("List-Unsubscribe-Post: List-Unsubscribe=One-Click");
    const QString precedence = QStringLiteral("Precedence: bulk");
    const QString autoSubmitted = QStringLiteral("Auto-Submitted: auto-generated");

    QTest::newRow("everything off") << BulkSettings{} << MailKind::Delivery << QStringList();
    QTest::newRow("notice, everything off") << BulkSettings{} << MailKind::Notice << QStringList();
    QTest::newRow("mailto only: no one-click")
        << withUnsubscribe(kMailto, QString()) << MailKind::Delivery
        << QStringList{QStringLiteral("List-Unsubscribe: ") + mailtoField, precedence};
    QTest::newRow("https only: one-click")
        << withUnsubscribe(QString(), kUrl) << MailKind::Delivery
        << QStringList{QStringLiteral("List-Unsubscribe: ") + urlField, post, precedence};
    QTest::newRow("both, https first; the test mail as a delivery")
        << withUnsubscribe(kMailto, kUrl) << MailKind::Test
        << QStringList{QStringLiteral("List-Unsubscribe: ") + urlField + QStringLiteral(",\r\n ") +
                           mailtoField,
                       post, precedence};
    QTest::newRow("bare address with a Japanese subject, as UTF-8 octets")
        << withUnsubscribe(QStringLiteral("stop@example.jp?subject=配信停止&body={address}"),
                           QString())
        << MailKind::Delivery
        << QStringList{
               QStringLiteral("List-Unsubscribe: <mailto:stop@example.jp?subject="
                              "%E9%85%8D%E4%BF%A1%E5%81%9C%E6%AD%A2&body=t%2B1%40example.jp>"),
               precedence};
    QTest::newRow("notices: Auto-Submitted and nothing else")
        << withUnsubscribe(kMailto, kUrl) << MailKind::Notice << QStringList{autoSubmitted};
    BulkSettings quiet = withUnsubscribe(QString(), QString());
    quiet.precedenceBulk = quiet.autoSubmitted = false;
    QTest::newRow("bulk headers switched off, delivery")
        << quiet << MailKind::Delivery << QStringList();
    QTest::newRow("bulk headers switched off, notice")
        << quiet << MailKind::Notice << QStringList();
}

void TestBulkHeaders::fieldsByKind()
{
    QFETCH(BulkSettings, settings);
    QFETCH(MailKind, kind);
    QFETCH(QStringList, fields);
    QCOMPARE(bulk::ExtraHeaders(settings, kind, QStringLiteral("t+1@example.jp")),
             fields.join(QLatin1String("\r\n")));
}

void TestBulkHeaders::longFieldFoldsBetweenUris()
{
    const QString address = QStringLiteral("a.very.long.local.part.for.testing@sub.example.jp");
    const QString text =
        bulk::ExtraHeaders(withUnsubscribe(kMailto, kUrl), MailKind::Delivery, address);
    const QStringList lines = text.split(QLatin1String("\r\n"));
    QVERIFY2(lines.size() == 4, qPrintable(text));
    QVERIFY(lines.at(0).startsWith(QLatin1String("List-Unsubscribe: <https://")));
    QVERIFY(lines.at(0).endsWith(QLatin1String(">,")));
    QVERIFY(lines.at(1).startsWith(QLatin1String(" <mailto:")));
    // A URL is never split.
    for (const QString& line : lines)
        QCOMPARE(line.count(QLatin1Char('<')), line.count(QLatin1Char('>')));
}

void TestBulkHeaders::templateChecks_data()
{
    QTest::addColumn<bool>("url");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("messagePart"); // empty: accepted

    QTest::newRow("empty mailto") << false << QString() << QString();
    QTest::newRow("mailto") << false << kMailto << QString();
    QTest::newRow("mailto, upper-case scheme")
        << false << QStringLiteral("MAILTO:s@example.jp") << QString();
    QTest::newRow("bare address: mailto: is put in front")
        << false << QStringLiteral("stop@example.jp?subject={address}") << QString();
    QTest::newRow("Japanese subject: encoded, not refused")
        << false << QStringLiteral("mailto:stop@example.jp?subject=配信停止") << QString();
    QTest::newRow("a web address in the mail box")
        << false << QStringLiteral("https://example.jp/stop") << QStringLiteral("「mailto:」");
    QTest::newRow("mailto with a misspelt placeholder")
        << false << QStringLiteral("mailto:stop@example.jp?subject={adress}")
        << QStringLiteral("「{adress}」");
    QTest::newRow("mailto without domain")
        << false << QStringLiteral("mailto:stop@?subject=x") << QStringLiteral("アドレス");
    QTest::newRow("mailto with a blank")
        << false << QStringLiteral("mailto:stop@example.jp?subject=a b") << QStringLiteral("空白");
    QTest::newRow("mailto with a comma")
        << false << QStringLiteral("mailto:a@example.jp,b@example.jp") << QStringLiteral("「,」");
    QTest::newRow("mailto with a line break")
        << false << QStringLiteral("mailto:a@example.jp\r\nBcc: b@example.jp")
        << QStringLiteral("制御文字");
    QTest::newRow("empty url") << true << QString() << QString();
    QTest::newRow("url") << true << kUrl << QString();
    QTest::newRow("url with placeholder in the path")
        << true << QStringLiteral("https://example.jp/u/{address}/") << QString();
    QTest::newRow("plain http") << true << QStringLiteral("http://example.jp/stop?a={address}")
                                << QStringLiteral("https://");
    QTest::newRow("no host") << true << QStringLiteral("https:///stop")
                             << QStringLiteral("ホスト名");
    QTest::newRow("Japanese in the url")
        << true << QStringLiteral("https://例え.jp/stop") << QStringLiteral("「例」");
    QTest::newRow("angle bracket")
        << true << QStringLiteral("https://example.jp/>x") << QStringLiteral("「>」");
    QTest::newRow("unknown placeholder")
        << true << QStringLiteral("https://example.jp/{mail}?a={address}")
        << QStringLiteral("「{mail}」");
    QTest::newRow("placeholder in capitals")
        << true << QStringLiteral("https://example.jp/stop?a={Address}")
        << QStringLiteral("「{Address}」");
    QTest::newRow("url without the placeholder: every recipient the same")
        << true << QStringLiteral("https://example.jp/stop")
        << QStringLiteral("{address} がありません");
    QTest::newRow("a lone brace") << true << QStringLiteral("https://example.jp/{?a={address}")
                                  << QStringLiteral("「{」");
}

void TestBulkHeaders::templateChecks()
{
    QFETCH(bool, url);
    QFETCH(QString, text);
    QFETCH(QString, messagePart);
    QString message;
    const bool usable =
        url ? bulk::CheckUrlTemplate(text, &message) : bulk::CheckMailtoTemplate(text, &message);
    if (messagePart.isEmpty()) {
        QVERIFY2(usable, qPrintable(message));
        return;
    }
    QVERIFY(!usable);
    QVERIFY2(message.contains(messagePart), qPrintable(message));
}

QTEST_GUILESS_MAIN(TestBulkHeaders)
#include "test_bulk_headers.moc"
