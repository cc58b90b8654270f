// Mails sent through the real transport to a real SMTP server (the aiosmtpd sink started by
// scripts/servers), read back with Python's email package: a mail reader must see exactly the
// Japanese subject, sender name, body and attachment names that went in.
#include "core/transport/nmail.h"
#include "servers_env.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using integration::ServersEnv;

namespace {

const QString kSender = QStringLiteral("sender@example.jp");
const QString kRecipient = QStringLiteral("taro@example.jp");

QString normalizedLineEnds(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return text;
}

QByteArray attachmentBytes(const QString& name)
{
    if (name.endsWith(QLatin1String(".bin"))) {
        QByteArray bytes;
        for (int i = 0; i < 1024; ++i)
            bytes.append(char(i % 256));
        return bytes;
    }
    return (QStringLiteral("添付ファイル ") + name + QStringLiteral("\r\n")).toUtf8();
}

} // namespace

class TestSmtpAiosmtpd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void roundTrip_data();
    void roundTrip();
    void rejectedRecipientReportsTheServersReply();

private:
    QStringList storedMessages() const;
    // Runs the checker on a stored message; fails the test when it can't.
    QJsonObject parse(const QString& emlPath);

    ServersEnv m_env;
    QString m_store;
};

void TestSmtpAiosmtpd::initTestCase()
{
    QString errorText;
    if (!m_env.load(&errorText))
        QFAIL(qPrintable(errorText));
    m_store = m_env.value(QStringLiteral("KEZ_SMTP_STORE"));
    QVERIFY(QDir(m_store).exists());
    NMailInitializeWinSock();
    NMailSetOption(1, 8192);
}

void TestSmtpAiosmtpd::cleanupTestCase()
{
    NMailEndWinSock();
}

QStringList TestSmtpAiosmtpd::storedMessages() const
{
    return integration::filesIn(m_store, QStringLiteral("*.eml"));
}

QJsonObject TestSmtpAiosmtpd::parse(const QString& emlPath)
{
    QProcess checker;
    const QString script =
        QDir(qEnvironmentVariable("KEZ_INTEGRATION_DIR")).filePath(QStringLiteral("parse_mail.py"));
    checker.start(QStringLiteral("/usr/bin/python3"), {script, emlPath});
    if (!checker.waitForFinished(30000) || checker.exitCode() != 0) {
        qWarning().noquote() << checker.readAllStandardError();
        return {};
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(checker.readAllStandardOutput(), &error);
    if (error.error != QJsonParseError::NoError)
        qWarning() << "checker output:" << error.errorString();
    return doc.object();
}

void TestSmtpAiosmtpd::roundTrip_data()
{
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QStringList>("attachments");
    QTest::addColumn<QString>("charset");

    QTest::newRow("ISO-2022-JP with Windows characters")
        << QStringLiteral("配信テスト①㈱髙") << QStringLiteral("㈱髙橋商事 営業部")
        << QStringLiteral("お世話になっております。\r\n配信テスト①㈱髙のお知らせです。\r\n"
                          "〜　以上です。\r\n")
        << QStringList({QStringLiteral("見積書①.txt"), QStringLiteral("data.bin")})
        << "iso-2022-jp";
    QTest::newRow("ISO-2022-JP long subject, folded")
        << QStringLiteral("[テスト配信] 春の新製品①のご案内と、㈱髙橋商事からの重要なお知らせ"
                          "（ご確認のほどよろしくお願い申し上げます）")
        << QStringLiteral("Taro Yamada, Sales") // a comma: must be quoted
        << QStringLiteral("短い本文。\r\n") << QStringList() << "iso-2022-jp";
    QTest::newRow("UTF-8 for half-width katakana and emoji")
        << QStringLiteral("ｱｲｳ 半角カナの確認 😀") << QStringLiteral("ﾃｽﾄ送信者")
        << QStringLiteral("半角カナ ｱｲｳｴｵ と絵文字 😀 の本文です。\r\n二行目。\r\n")
        << QStringList({QStringLiteral("ｶﾀｶﾅ資料.txt")}) << "utf-8";
}

void TestSmtpAiosmtpd::roundTrip()
{
    QFETCH(QString, subject);
    QFETCH(QString, name);
    QFETCH(QString, body);
    QFETCH(QStringList, attachments);
    QFETCH(QString, charset);

    QTemporaryDir dir;
    QStringList paths;
    for (const QString& file : attachments) {
        QFile out(dir.filePath(file));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(attachmentBytes(file));
        paths << out.fileName();
    }

    const QStringList before = storedMessages();
    const int result = NMailSmtpSendMail(m_env.smtpServer(), kRecipient, nullptr, nullptr,
                                         name + QStringLiteral("<") + kSender + QStringLiteral(">"),
                                         subject, body, nullptr, paths.join(QLatin1Char(',')), 1);
    QString message(8192, QChar());
    int size = 8192;
    if (result < 0)
        NMailGetMessage(0, message, size);
    QVERIFY2(result >= 0, qPrintable(message));

    // The sink stores a message before it answers DATA, so it is there by now.
    QStringList added = storedMessages();
    for (const QString& old : before)
        added.removeAll(old);
    QCOMPARE(added.size(), 1);
    const QString eml = QDir(m_store).filePath(added.first());

    const QJsonObject envelope =
        QJsonDocument::fromJson(integration::readAll(QString(eml).replace(".eml", ".json")))
            .object();
    QCOMPARE(envelope.value("mail_from").toString(), kSender);
    QCOMPARE(envelope.value("rcpt_tos").toArray(), QJsonArray({kRecipient}));

    const QJsonObject mail = parse(eml);
    QVERIFY2(!mail.isEmpty(), "the checker could not read the message");
    const QByteArray dump = QJsonDocument(mail).toJson();

    // What a reader shows.
    QVERIFY2(mail.value("subject").toString() == subject, dump.constData());
    QVERIFY2(mail.value("from_name").toString() == name, dump.constData());
    QCOMPARE(mail.value("from_address").toString(), kSender);
    QCOMPARE(normalizedLineEnds(mail.value("body").toString()), normalizedLineEnds(body));
    QCOMPARE(mail.value("body_charset").toString(), charset);
    QCOMPARE(mail.value("subject_charsets").toArray(), QJsonArray({charset}));

    // A well-formed message.
    const QJsonArray headers = mail.value("header_names").toArray();
    for (const char* header : {"Date", "Message-ID", "From", "To", "Subject", "MIME-Version"})
        QVERIFY2(headers.contains(QLatin1String(header)), header);
    QVERIFY2(mail.value("message_id").toString().endsWith(QLatin1String("@example.jp>")),
             dump.constData());
    QCOMPARE(mail.value("to").toString().contains(kRecipient), true);
    QCOMPARE(mail.value("bare_cr_or_lf").toBool(), false);
    QVERIFY(mail.value("max_line_octets").toInt() <= 998);
    QCOMPARE(mail.value("eight_bit").toBool(), false);
    QCOMPARE(mail.value("nul").toBool(), false);
    QVERIFY2(mail.value("defects").toArray().isEmpty(), dump.constData());
    if (charset == QLatin1String("iso-2022-jp")) {
        QCOMPARE(mail.value("body_transfer_encoding").toString().toLower(), QStringLiteral("7bit"));
        // Only the escapes of RFC 1468: never the half-width katakana set (ESC ( I).
        for (const QJsonValue& escape : mail.value("escapes").toArray())
            QVERIFY2(QStringList({"$B", "(B", "$@", "(J"}).contains(escape.toString()),
                     qPrintable(escape.toString()));
    } else {
        QCOMPARE(mail.value("body_transfer_encoding").toString().toLower(),
                 QStringLiteral("base64"));
        // Python's own strict reading agrees.
        QCOMPARE(mail.value("subject_strict").toString(), subject);
    }

    const QJsonArray parts = mail.value("attachments").toArray();
    QCOMPARE(parts.size(), attachments.size());
    for (int i = 0; i < attachments.size(); ++i) {
        const QJsonObject part = parts.at(i).toObject();
        QCOMPARE(part.value("filename").toString(), attachments[i]);
        QCOMPARE(part.value("name").toString(), attachments[i]);
        QCOMPARE(part.value("transfer_encoding").toString().toLower(), QStringLiteral("base64"));
        QCOMPARE(part.value("sha256").toString(),
                 QString::fromLatin1(QCryptographicHash::hash(attachmentBytes(attachments[i]),
                                                              QCryptographicHash::Sha256)
                                         .toHex()));
    }
    if (!attachments.isEmpty())
        QCOMPARE(mail.value("content_type").toString(), QStringLiteral("multipart/mixed"));
}

void TestSmtpAiosmtpd::rejectedRecipientReportsTheServersReply()
{
    const QStringList before = storedMessages();
    const int result = NMailSmtpSendMail(
        m_env.smtpServer(), QStringLiteral("reject-me@example.jp"), nullptr, nullptr,
        QStringLiteral("送信者<") + kSender + QStringLiteral(">"), QStringLiteral("件名"),
        QStringLiteral("本文\r\n"), nullptr, QString(), 1);
    QVERIFY(result < 0);
    QString message(8192, QChar());
    int size = 8192;
    NMailGetMessage(0, message, size);
    message.truncate(message.indexOf(QChar()) < 0 ? message.size() : message.indexOf(QChar()));
    QVERIFY2(message.contains(QLatin1String("550")), qPrintable(message));
    QVERIFY2(message.contains(QLatin1String("5.1.1 User unknown")), qPrintable(message));
    QCOMPARE(storedMessages(), before);

    // The connection the failure left behind doesn't spoil the next mail.
    const int next = NMailSmtpSendMail(m_env.smtpServer(), kRecipient, nullptr, nullptr,
                                       QStringLiteral("送信者<") + kSender + QStringLiteral(">"),
                                       QStringLiteral("次のメール"), QStringLiteral("本文\r\n"),
                                       nullptr, QString(), 1);
    QVERIFY(next >= 0);
    QCOMPARE(storedMessages().size(), before.size() + 1);
}

QTEST_GUILESS_MAIN(TestSmtpAiosmtpd)
#include "test_smtp_aiosmtpd.moc"
