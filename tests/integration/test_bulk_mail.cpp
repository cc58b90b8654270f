// Mails of a bulk sender sent through the real transport to the real SMTP sink, read back with
// Python's email package and urllib, and verified with dkimpy: the unsubscribe and bulk
// headers of each kind of mail, the signature on every charset and with attachments, the footer
// in both charsets under the signature, and nothing changed at all while the options are off.
#include "bulk_test_tools.h"
#include "core/bulk/bulk_run.h"
#include "core/bulk/dkim_signer.h"
#include "core/transport/nmail.h"
#include "fakes.h"
#include "servers_env.h"

#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using bulk::MailKind;
using bulk_testing::strings;
using integration::ServersEnv;
using testing_support::TempAppDir;

namespace {

const QString kOperator = QStringLiteral("kez@example.jp");
const QByteArray kMailto = "mailto:stop@example.jp?subject=stop%20{address}";
const QByteArray kUrl = "https://example.jp/stop?a={address}&list=news";

struct Mail
{
    QString subject;
    QString body;
    QStringList attachments; // file names, made in a temporary folder
};

// The mail without what differs between any two sends: the Date and Message-ID lines and the
// multipart boundary.
QByteArray withoutVaryingParts(QByteArray mail)
{
    static const QRegularExpression varying(QStringLiteral("^(Date|Message-ID): [^\r]*\r\n"),
                                            QRegularExpression::MultilineOption);
    QString text = QString::fromLatin1(mail);
    text.remove(varying);
    const QRegularExpressionMatch boundary =
        QRegularExpression(QStringLiteral("boundary=\"([^\"]+)\"")).match(text);
    if (boundary.hasMatch())
        text.replace(boundary.captured(1), QStringLiteral("BOUNDARY"));
    return text.toLatin1();
}

} // namespace

class TestBulkMail : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void unsubscribeHeaders_data();
    void unsubscribeHeaders();
    void operatorMails();
    void bulkHeadersSwitchedOff();
    void nothingChangesWithoutBulkIni();
    void dkim_data();
    void dkim();
    void footer_data();
    void footer();

private:
    // Sends one mail through the entry point with the header slot and signer a run would pass,
    // and returns the path of what the sink stored (empty when it failed).
    QString send(const QString& to, const Mail& mail, const QString* headers,
                 const transport::MessageSigner* signer);
    QString sendAs(const bulk::RunOptions& options, MailKind kind, const QString& to,
                   const Mail& mail);

    ServersEnv m_env;
    QString m_store;
    QTemporaryDir m_files;
    QString m_rsaKey;
    QString m_ed25519Key;
};

void TestBulkMail::initTestCase()
{
    QString errorText;
    if (!m_env.load(&errorText))
        QFAIL(qPrintable(errorText));
    m_store = m_env.value(QStringLiteral("KEZ_SMTP_STORE"));
    QVERIFY(QDir(m_store).exists());
    m_rsaKey = bulk_testing::makeKey(m_files.path(), QStringLiteral("rsa:2048"));
    m_ed25519Key = bulk_testing::makeKey(m_files.path(), QStringLiteral("ed25519"));
    QVERIFY(!m_rsaKey.isEmpty() && !m_ed25519Key.isEmpty());
    for (const char* name : {"見積書①.txt", "data.bin"}) {
        QFile file(m_files.filePath(QString::fromUtf8(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int i = 0; i < 3000; ++i)
            file.write(QByteArray(1, char(i % 251)));
    }
    NMailInitializeWinSock();
    NMailSetOption(1, kErrorTextBufferSize);
}

void TestBulkMail::cleanupTestCase()
{
    NMailEndWinSock();
}

QString TestBulkMail::send(const QString& to, const Mail& mail, const QString* headers,
                           const transport::MessageSigner* signer)
{
    QStringList paths;
    for (const QString& name : mail.attachments)
        paths << m_files.filePath(name);
    const QStringList before = integration::filesIn(m_store, QStringLiteral("*.eml"));
    const int result = NMailSmtpSendMail(
        m_env.smtpServer(), to, nullptr, nullptr, QStringLiteral("配信担当<") + kOperator + '>',
        mail.subject, mail.body, headers, paths.join(QLatin1Char(',')), 1, signer);
    if (result < 0) {
        QString text;
        int size = kErrorTextBufferSize;
        NMailGetMessage(0, text, size);
        qWarning().noquote() << "send failed:" << text;
        return QString();
    }
    QStringList added = integration::filesIn(m_store, QStringLiteral("*.eml"));
    for (const QString& old : before)
        added.removeAll(old);
    return added.size() == 1 ? QDir(m_store).filePath(added.first()) : QString();
}

QString TestBulkMail::sendAs(const bulk::RunOptions& options, MailKind kind, const QString& to,
                             const Mail& mail)
{
    const QString headers = options.headersFor(kind, to);
    return send(to, mail, &headers, options.signer().get());
}

void TestBulkMail::unsubscribeHeaders_data()
{
    QTest::addColumn<bool>("mailto");
    QTest::addColumn<bool>("https");
    QTest::addColumn<QString>("address");
    QTest::newRow("mailto only, a plus") << true << false << QStringLiteral("taro+news@example.jp");
    QTest::newRow("https only, a percent")
        << false << true << QStringLiteral("100%sure@example.jp");
    QTest::newRow("both, a Japanese domain") << true << true << QStringLiteral("hanako@例え.jp");
    QTest::newRow("both, URL delimiters") << true << true << QStringLiteral("a&b=c?d#e@example.jp");
}

void TestBulkMail::unsubscribeHeaders()
{
    QFETCH(bool, mailto);
    QFETCH(bool, https);
    QFETCH(QString, address);
    TempAppDir app;
    app.write(QStringLiteral("ini/bulk.ini"),
              bulk_testing::completeBulkIni((mailto ? "UNSUBMAILTO=" + kMailto + "\r\n" : "") +
                                            (https ? "UNSUBURL=" + kUrl + "\r\n" : "")));
    QString refusal;
    const std::optional<bulk::RunOptions> run = bulk::RunOptions::prepareRun(app.path(), &refusal);
    QVERIFY2(run, qPrintable(refusal));

    const QString eml = sendAs(*run, MailKind::Delivery, address,
                               {QStringLiteral("お知らせ"), QStringLiteral("本文\r\n"), {}});
    QVERIFY(!eml.isEmpty());
    const QJsonObject mail = bulk_testing::mailScript({QStringLiteral("headers"), eml});
    const QByteArray dump = QJsonDocument(mail).toJson();
    QVERIFY2(mail.value("defects").toArray().isEmpty(), dump.constData());
    QVERIFY2(mail.value("header_ascii").toBool(), dump.constData());
    QVERIFY2(mail.value("max_header_line").toInt() <= 998, dump.constData());
    QCOMPARE(strings(mail.value("list_unsubscribe")).size(), 1);

    const QJsonArray uris = mail.value("uris").toArray();
    QCOMPARE(uris.size(), int(mailto) + int(https));
    int next = 0;
    if (https) {
        // One-click receivers take the first https URL; the decoded parameter is the address.
        const QJsonObject uri = uris.at(next++).toObject();
        QCOMPARE(uri.value("scheme").toString(), QStringLiteral("https"));
        QCOMPARE(uri.value("host").toString(), QStringLiteral("example.jp"));
        QCOMPARE(uri.value("path").toString(), QStringLiteral("/stop"));
        const QJsonObject query = uri.value("query").toObject();
        QVERIFY2(strings(query.value("a")) == QStringList{address}, dump.constData());
        QCOMPARE(strings(query.value("list")), QStringList{QStringLiteral("news")});
        QCOMPARE(query.size(), 2);
    }
    if (mailto) {
        const QJsonObject uri = uris.at(next++).toObject();
        QCOMPARE(uri.value("scheme").toString(), QStringLiteral("mailto"));
        QCOMPARE(uri.value("path").toString(), QStringLiteral("stop@example.jp"));
        QVERIFY2(strings(uri.value("query").toObject().value("subject")) ==
                     QStringList{QStringLiteral("stop ") + address},
                 dump.constData());
    }
    QCOMPARE(strings(mail.value("list_unsubscribe_post")),
             https ? QStringList{QStringLiteral("List-Unsubscribe=One-Click")} : QStringList());
    QCOMPARE(strings(mail.value("precedence")), QStringList{QStringLiteral("bulk")});
    QVERIFY(mail.value("auto_submitted").isNull());
}

void TestBulkMail::operatorMails()
{
    TempAppDir app;
    app.write(QStringLiteral("ini/bulk.ini"),
              bulk_testing::completeBulkIni("UNSUBMAILTO=" + kMailto + "\r\nUNSUBURL=" + kUrl));
    QString refusal;
    const std::optional<bulk::RunOptions> test =
        bulk::RunOptions::prepareTestMail(app.path(), &refusal);
    QVERIFY2(test, qPrintable(refusal));

    // The test mail shows the operator what recipients get, made for the operator's address.
    const QString testMail =
        sendAs(*test, MailKind::Test, kOperator,
               {QStringLiteral("[テスト配信] お知らせ"), QStringLiteral("本文\r\n"), {}});
    QVERIFY(!testMail.isEmpty());
    QJsonObject mail = bulk_testing::mailScript({QStringLiteral("headers"), testMail});
    QByteArray dump = QJsonDocument(mail).toJson();
    QCOMPARE(mail.value("uris").toArray().size(), 2);
    QVERIFY2(strings(mail.value("uris").toArray().at(0).toObject().value("query").toObject().value(
                 "a")) == QStringList{kOperator},
             dump.constData());
    QCOMPARE(strings(mail.value("list_unsubscribe_post")),
             QStringList{QStringLiteral("List-Unsubscribe=One-Click")});
    QCOMPARE(strings(mail.value("precedence")), QStringList{QStringLiteral("bulk")});
    QVERIFY(mail.value("auto_submitted").isNull());

    // The start and end notices: generated mail, no unsubscribe, not bulk.
    for (const QString& prefix : {QStringLiteral("[開始] "), QStringLiteral("[終了] ")}) {
        const QString notice =
            sendAs(*test, MailKind::Notice, kOperator,
                   {prefix + QStringLiteral("お知らせ"), QStringLiteral("本文\r\n"), {}});
        QVERIFY(!notice.isEmpty());
        mail = bulk_testing::mailScript({QStringLiteral("headers"), notice});
        dump = QJsonDocument(mail).toJson();
        QVERIFY2(mail.value("list_unsubscribe").isNull(), dump.constData());
        QVERIFY2(mail.value("list_unsubscribe_post").isNull(), dump.constData());
        QVERIFY2(mail.value("precedence").isNull(), dump.constData());
        QCOMPARE(strings(mail.value("auto_submitted")),
                 QStringList{QStringLiteral("auto-generated")});
    }
}

void TestBulkMail::bulkHeadersSwitchedOff()
{
    TempAppDir app;
    app.write(QStringLiteral("ini/bulk.ini"),
              bulk_testing::completeBulkIni("PRECEDENCE=0\r\nAUTOSUBMITTED=0"));
    QString refusal;
    const std::optional<bulk::RunOptions> run = bulk::RunOptions::prepareRun(app.path(), &refusal);
    QVERIFY2(run, qPrintable(refusal));
    for (MailKind kind : {MailKind::Delivery, MailKind::Notice}) {
        const QString eml = sendAs(*run, kind, QStringLiteral("taro@example.jp"),
                                   {QStringLiteral("件名"), QStringLiteral("本文\r\n"), {}});
        QVERIFY(!eml.isEmpty());
        const QJsonObject mail = bulk_testing::mailScript({QStringLiteral("headers"), eml});
        for (const char* field : {"precedence", "auto_submitted", "list_unsubscribe"})
            QVERIFY2(mail.value(QLatin1String(field)).isNull(), field);
    }
}

void TestBulkMail::nothingChangesWithoutBulkIni()
{
    TempAppDir app; // no ini/bulk.ini
    QString refusal;
    const std::optional<bulk::RunOptions> run = bulk::RunOptions::prepareRun(app.path(), &refusal);
    QVERIFY2(run, qPrintable(refusal));
    const std::optional<bulk::RunOptions> test =
        bulk::RunOptions::prepareTestMail(app.path(), &refusal);
    QVERIFY2(test, qPrintable(refusal));

    const Mail mails[] = {
        {QStringLiteral("配信テスト①㈱"), QStringLiteral("お世話になっております。\r\n"), {}},
        {QStringLiteral("ｶﾀｶﾅ 😀"),
         QStringLiteral("UTF-8 の本文\r\n"),
         {QStringLiteral("見積書①.txt"), QStringLiteral("data.bin")}},
    };
    for (const Mail& mail : mails) {
        for (const auto& [options, kind] :
             {std::pair{&*run, MailKind::Delivery}, std::pair{&*test, MailKind::Test},
              std::pair{&*run, MailKind::Notice}}) {
            const QString withBulk =
                sendAs(*options, kind, QStringLiteral("taro@example.jp"), mail);
            // The same mail the way the program sent it before the options existed.
            const QString without = send(QStringLiteral("taro@example.jp"), mail, nullptr, nullptr);
            QVERIFY(!withBulk.isEmpty() && !without.isEmpty());
            const QByteArray a = integration::readAll(withBulk);
            const QByteArray b = integration::readAll(without);
            QCOMPARE(withoutVaryingParts(a), withoutVaryingParts(b));
            // Two lines went, the Date and the Message-ID, and nothing else.
            QCOMPARE(withoutVaryingParts(a).count("\r\n"), a.count("\r\n") - 2);
        }
    }
}

void TestBulkMail::dkim_data()
{
    QTest::addColumn<bool>("ed25519");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QStringList>("attachments");
    QTest::addColumn<QString>("charset"); // of the text part, as the composer chose it

    const QString jis = QStringLiteral("お世話になっております。\r\n春の新製品のご案内です。\r\n");
    const QString utf8 =
        QStringLiteral("半角カナ ｱｲｳｴｵ と絵文字 😀、①㈱髙 の本文です。\r\n二行目。\r\n");
    const QStringList files = {QStringLiteral("見積書①.txt"), QStringLiteral("data.bin")};
    for (bool ed25519 : {false, true}) {
        const char* key = ed25519 ? "Ed25519" : "RSA";
        QTest::addRow("%s, ISO-2022-JP", key)
            << ed25519 << int(MailKind::Delivery) << QStringLiteral("春のご案内") << jis
            << QStringList() << "iso-2022-jp";
        QTest::addRow("%s, UTF-8", key)
            << ed25519 << int(MailKind::Delivery) << QStringLiteral("ｾｰﾙ 😀") << utf8
            << QStringList() << "utf-8";
        QTest::addRow("%s, ISO-2022-JP with attachments", key)
            << ed25519 << int(MailKind::Delivery) << QStringLiteral("見積書の送付") << jis << files
            << "iso-2022-jp";
        QTest::addRow("%s, UTF-8 with attachments", key)
            << ed25519 << int(MailKind::Delivery) << QStringLiteral("ｾｰﾙ資料") << utf8 << files
            << "utf-8";
    }
    QTest::newRow("RSA, a notice")
        << false << int(MailKind::Notice) << QStringLiteral("[終了] 春のご案内") << jis
        << QStringList() << "iso-2022-jp";
    QTest::newRow("RSA, a long body line")
        << false << int(MailKind::Delivery) << QStringLiteral("長い行")
        << QString(1200, QChar(u'あ')) + QStringLiteral("\r\n") << QStringList() << "iso-2022-jp";
}

void TestBulkMail::dkim()
{
    QFETCH(bool, ed25519);
    QFETCH(int, kind);
    QFETCH(QString, subject);
    QFETCH(QString, body);
    QFETCH(QStringList, attachments);
    QFETCH(QString, charset);

    const QString keyPath = ed25519 ? m_ed25519Key : m_rsaKey;
    TempAppDir app;
    app.write(QStringLiteral("ini/bulk.ini"),
              bulk_testing::completeBulkIni(
                  "UNSUBMAILTO=" + kMailto + "\r\nUNSUBURL=" + kUrl +
                  "\r\nDKIM=1\r\nDKIMDOMAIN=example.jp\r\nDKIMSELECTOR=kez2025\r\nDKIMKEY=" +
                  keyPath.toUtf8()));
    QString refusal;
    const std::optional<bulk::RunOptions> run =
        bulk::RunOptions::prepareRun(app.path(), &refusal, kOperator);
    QVERIFY2(run, qPrintable(refusal));
    QVERIFY(run->signer());

    const QString eml = sendAs(*run, MailKind(kind), QStringLiteral("taro+news@example.com"),
                               {subject, body, attachments});
    QVERIFY(!eml.isEmpty());

    // Verified against the record the dialog tells the operator to publish.
    QString error;
    const std::optional<bulk::DkimKey> key = bulk::ReadDkimKey(keyPath, &error);
    QVERIFY2(key, qPrintable(error));
    const QString record = bulk::DnsRecordValue(*key);
    const QString name =
        bulk::DnsRecordName(QStringLiteral("kez2025"), QStringLiteral("example.jp"));
    const QJsonObject result =
        bulk_testing::mailScript({QStringLiteral("dkim"), eml, record, name});
    const QByteArray dump = QJsonDocument(result).toJson();
    QVERIFY2(result.value("verified").toBool(), dump.constData());
    QCOMPARE(result.value("signatures").toInt(), 1);
    QCOMPARE(strings(result.value("text_charsets")), QStringList{charset});
    QCOMPARE(strings(result.value("queried")), QStringList{name + '.'});
    QStringList covered;
    for (const QString& field : strings(result.value("signed_headers")))
        covered << field.toLower();
    QStringList expected = {"from",       "to",           "subject",     "date",
                            "message-id", "mime-version", "content-type"};
    if (MailKind(kind) != MailKind::Notice)
        expected << "list-unsubscribe"
                 << "list-unsubscribe-post";
    for (const QString& field : expected)
        QVERIFY2(covered.contains(field), dump.constData());

    // One octet of the body changed: the signature no longer holds.
    const QByteArray changed = bulk_testing::withOneBodyByteChanged(integration::readAll(eml));
    QVERIFY(!changed.isEmpty());
    QFile copy(m_files.filePath(QStringLiteral("changed.eml")));
    QVERIFY(copy.open(QIODevice::WriteOnly | QIODevice::Truncate));
    copy.write(changed);
    copy.close();
    const QJsonObject broken =
        bulk_testing::mailScript({QStringLiteral("dkim"), copy.fileName(), record, name});
    QVERIFY2(!broken.isEmpty() && !broken.value("verified").toBool(),
             QJsonDocument(broken).toJson().constData());
}

void TestBulkMail::footer_data()
{
    QTest::addColumn<QString>("contact");
    QTest::addColumn<QString>("charset");
    // The body alone is ISO-2022-JP either way: only the footer can make the mail UTF-8.
    QTest::newRow("ISO-2022-JP") << QStringLiteral("問い合わせ先：03-1234-5678")
                                 << QStringLiteral("iso-2022-jp");
    QTest::newRow("UTF-8 for a circled digit")
        << QStringLiteral("問い合わせ先：窓口① 03-1234-5678") << QStringLiteral("utf-8");
}

void TestBulkMail::footer()
{
    QFETCH(QString, contact);
    QFETCH(QString, charset);
    TempAppDir app;
    bulk::BulkSettings settings;
    settings.unsubscribeUrl = QString::fromLatin1(kUrl);
    settings.dkim = true;
    settings.dkimDomain = QStringLiteral("example.jp");
    settings.dkimSelector = QStringLiteral("kez2025");
    settings.dkimKeyPath = m_rsaKey;
    settings.footer = QStringLiteral("送信者名：ケズ商事\n"
                                     "住所：東京都千代田区丸の内一丁目１番１号\n") +
                      contact +
                      QStringLiteral("\n配信停止の方法：{unsubscribe_url}\n宛先：{address}");
    QVERIFY(bulk::SaveBulkSettings(app.path(), settings, nullptr));
    QString refusal;
    const std::optional<bulk::RunOptions> run =
        bulk::RunOptions::prepareRun(app.path(), &refusal, kOperator);
    QVERIFY2(run, qPrintable(refusal));

    transport::MailRequest request;
    request.to = QStringLiteral("taro+news@example.com");
    request.body = QStringLiteral("お世話になっております。\r\n春のご案内です。\r\n");
    run->decorate(request, MailKind::Delivery);
    const QString eml = send(request.to, {QStringLiteral("春のご案内"), request.body, {}},
                             &request.headers, request.signer.get());
    QVERIFY(!eml.isEmpty());

    const QString script = QDir(qEnvironmentVariable("KEZ_SOURCE_DIR"))
                               .filePath(QStringLiteral("tests/integration/parse_mail.py"));
    const std::optional<QByteArray> parsed =
        bulk_testing::run(QStringLiteral("/usr/bin/python3"), {script, eml});
    QVERIFY(parsed);
    const QJsonObject mail = QJsonDocument::fromJson(*parsed).object();
    QCOMPARE(mail.value("body_charset").toString(), charset);
    QString body = mail.value("body").toString();
    body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    const QString head = QStringLiteral("お世話になっております。\n春のご案内です。\n\n"
                                        "送信者名：ケズ商事\n"
                                        "住所：東京都千代田区丸の内一丁目１番１号\n");
    const QString tail = QStringLiteral("\n配信停止の方法：https://example.jp/stop?a=taro%2Bnews%"
                                        "40example.com&list=news\n宛先：taro+news@example.com\n");
    QCOMPARE(body, head + contact + tail);

    QString error;
    const std::optional<bulk::DkimKey> key = bulk::ReadDkimKey(m_rsaKey, &error);
    QVERIFY2(key, qPrintable(error));
    const QString record = bulk::DnsRecordValue(*key);
    const QString name =
        bulk::DnsRecordName(QStringLiteral("kez2025"), QStringLiteral("example.jp"));
    const QJsonObject result =
        bulk_testing::mailScript({QStringLiteral("dkim"), eml, record, name});
    const QByteArray dump = QJsonDocument(result).toJson();
    QVERIFY2(result.value("verified").toBool(), dump.constData());
    // The body hash covers the whole body, the footer included, not a first part of it.
    QVERIFY2(!result.value("tags").toObject().contains("l"), dump.constData());
    // One octet of the footer's last line changed: the signature no longer holds.
    QByteArray changed = integration::readAll(eml);
    qsizetype at = changed.size() - 3;
    while (at > 0 && !QChar::isLetter(uchar(changed.at(at))))
        --at;
    QVERIFY(at > changed.indexOf("\r\n\r\n"));
    changed[at] = changed.at(at) == 'a' ? 'b' : 'a';
    QFile copy(m_files.filePath(QStringLiteral("changed-footer.eml")));
    QVERIFY(copy.open(QIODevice::WriteOnly | QIODevice::Truncate));
    copy.write(changed);
    copy.close();
    const QJsonObject broken =
        bulk_testing::mailScript({QStringLiteral("dkim"), copy.fileName(), record, name});
    QVERIFY2(!broken.isEmpty() && !broken.value("verified").toBool(),
             QJsonDocument(broken).toJson().constData());
}

QTEST_GUILESS_MAIN(TestBulkMail)
#include "test_bulk_mail.moc"
