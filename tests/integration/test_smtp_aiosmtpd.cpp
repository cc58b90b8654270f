// Mails sent through the real transport to a real SMTP server (the aiosmtpd sink started by
// scripts/servers), read back by two readers nobody on the project wrote: Python's email
// package with its stock codecs (parse_mail.py) and Perl's MIME::Tools with Encode
// (read_mail.pl). Both must show exactly the subject, sender name, body and attachment names
// that were typed, over a corpus of everyday Japanese business text.
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

QString sha256(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
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
    // Runs a reader of tests/integration on a stored message; empty when it fails.
    QJsonObject read(const QString& program, const QString& script, const QString& emlPath);

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
    NMailSetOption(1, kErrorTextBufferSize);
}

void TestSmtpAiosmtpd::cleanupTestCase()
{
    NMailEndWinSock();
}

QStringList TestSmtpAiosmtpd::storedMessages() const
{
    return integration::filesIn(m_store, QStringLiteral("*.eml"));
}

QJsonObject TestSmtpAiosmtpd::read(const QString& program, const QString& script,
                                   const QString& emlPath)
{
    QProcess reader;
    reader.start(program,
                 {QDir(qEnvironmentVariable("KEZ_INTEGRATION_DIR")).filePath(script), emlPath});
    if (!reader.waitForFinished(30000) || reader.exitCode() != 0) {
        qWarning().noquote() << script << reader.readAllStandardError();
        return {};
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(reader.readAllStandardOutput(), &error);
    if (error.error != QJsonParseError::NoError)
        qWarning() << script << "output:" << error.errorString();
    return doc.object();
}

void TestSmtpAiosmtpd::roundTrip_data()
{
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QStringList>("attachments");
    // Text within strict ISO-2022-JP must stay in it; for the rest the charset is free.
    QTest::addColumn<bool>("strictJis");

    const QString longJisSubject =
        QStringLiteral("[テスト配信] 春の新製品のご案内と、株式会社高橋商事からの重要なお知らせ"
                       "（ご確認のほどよろしくお願い申し上げます）");
    QTest::newRow("strict JIS with the standard wave dash")
        << QStringLiteral("[テスト配信] 営業時間 9:00〜17:00 のご案内")
        << QStringLiteral("株式会社　高橋商事")
        << QStringLiteral("お世話になっております。\n受付は9:00〜17:00です。\n"
                          "‖−¢£¬＼―　以上です。\n")
        << QStringList({QStringLiteral("見積書.txt"), QStringLiteral("data.bin")}) << true;
    QTest::newRow("strict JIS, long subject folded, ASCII name with a comma")
        << longJisSubject << QStringLiteral("Taro Yamada, Sales") << QStringLiteral("短い本文。\n")
        << QStringList() << true;
    QTest::newRow("long ASCII sender name")
        << QStringLiteral("Notice")
        << QStringLiteral("Customer Support Team of the Example "
                          "Trading Company Limited Tokyo Head Office")
        << QStringLiteral("本文です。\n") << QStringList() << true;
    QTest::newRow("long Japanese sender name")
        << QStringLiteral("ご案内")
        << QStringLiteral("株式会社サンプル商事　東日本営業本部　第一営業部　顧客サポートセンター")
        << QStringLiteral("本文です。\n") << QStringList() << true;
    QTest::newRow("company names with ㈱ and ㈲")
        << QStringLiteral("㈱山田商事と㈲佐藤工業の合同説明会のご案内")
        << QStringLiteral("㈱山田商事 営業部") << QStringLiteral("㈱山田商事\n㈲佐藤工業\n各位\n")
        << QStringList({QStringLiteral("㈱山田商事_見積書.pdf")}) << false;
    QTest::newRow("time ranges with ～")
        << QStringLiteral("営業時間 9:00～17:00 のお知らせ") << QStringLiteral("総務部")
        << QStringLiteral("受付は9:00～17:00です。\n土日は10:00～15:00。\n") << QStringList()
        << false;
    QTest::newRow("numbered list ①–⑳ and a .docx")
        << QStringLiteral("①～⑳の手順書") << QStringLiteral("品質管理課")
        << QStringLiteral("①②③④⑤⑥⑦⑧⑨⑩\n⑪⑫⑬⑭⑮⑯⑰⑱⑲⑳\n")
        << QStringList({QStringLiteral("手順書①.docx")}) << false;
    QTest::newRow("surnames with 髙, 﨑 and 德")
        << QStringLiteral("髙橋様・山﨑様・德永様へのご連絡") << QStringLiteral("髙木 﨑子")
        << QStringLiteral("髙橋様\n山﨑様\n德永様\n")
        << QStringList({QStringLiteral("髙橋様宛.txt")}) << false;
    QTest::newRow("Windows forms －∥￠￡￢ and ⅰ №")
        << QStringLiteral("価格￡100－￠50 ∥ ￢ ⅰⅱ №1") << QStringLiteral("経理部")
        << QStringLiteral("￡100－￠50 ∥ ￢\nⅰⅱ №1\n") << QStringList() << false;
    QTest::newRow("half-width katakana")
        << QStringLiteral("ｾｰﾙ開催のお知らせ") << QStringLiteral("ﾃｽﾄ送信者")
        << QStringLiteral("半角カナ ｱｲｳｴｵ の本文です。\n")
        << QStringList({QStringLiteral("ｶﾀｶﾅ資料.txt")}) << false;
    QTest::newRow("emoji") << QStringLiteral("ご来場ありがとうございました😀🎉")
                           << QStringLiteral("イベント事務局🎉")
                           << QStringLiteral("またのご来場を😀\n") << QStringList() << false;
    QTest::newRow("long subject folded, long name and file name, all UTF-8")
        << QStringLiteral("【重要】㈱サンプル商事 ①新製品説明会（9:00～17:00）と②髙橋部長のご挨拶に"
                          "ついてのご案内😀")
        << QStringLiteral("㈱サンプル商事　東日本営業本部　第一営業部　髙橋﨑子サポートセンター")
        << QStringLiteral("本文です。\n")
        << QStringList({QStringLiteral("とても長い添付ファイルの名前を付けてみましたがきちんと届く"
                                       "でしょうか確認用①髙ｶﾅ😀.csv")})
        << false;
    // Names and subjects that need more than one encoded word in ISO-2022-JP: words end only at
    // the text's own blanks, or the mail goes in UTF-8 where that takes fewer words.
    QTest::newRow("company, division and section with ASCII blanks")
        << QStringLiteral("第2課 ABC-100 説明会 のご案内 2026年12月 東京 大阪 名古屋 福岡 会場")
        << QStringLiteral("株式会社ABC 営業部 第2課") << QStringLiteral("本文です。\n")
        << QStringList() << false;
    QTest::newRow("long name of ASCII and kanji in ISO-2022-JP")
        << QStringLiteral("ご案内")
        << QStringLiteral("株式会社サンプル商事 東日本営業本部 第一営業部 顧客サポートセンター")
        << QStringLiteral("本文です。\n") << QStringList() << true;
    QTest::newRow("long mixed name with digits between kanji")
        << QStringLiteral("第3四半期 決算 説明会")
        << QStringLiteral("ABC株式会社 第2営業部 第3課 2026年度 新規顧客 担当チーム")
        << QStringLiteral("本文です。\n") << QStringList() << false;
    QTest::newRow("the test mail of the issue")
        << QStringLiteral("㈱サンプル ②説明会 9:00～17:00") << QStringLiteral("髙木 﨑子")
        << QStringLiteral("㈱サンプル ②説明会 9:00～17:00\n髙木 﨑子\n") << QStringList() << false;
}

void TestSmtpAiosmtpd::roundTrip()
{
    QFETCH(QString, subject);
    QFETCH(QString, name);
    QFETCH(QString, body);
    QFETCH(QStringList, attachments);
    QFETCH(bool, strictJis);

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
    QString message(kErrorTextBufferSize, QChar());
    int size = kErrorTextBufferSize;
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

    const QJsonObject python =
        read(QStringLiteral("/usr/bin/python3"), QStringLiteral("parse_mail.py"), eml);
    const QJsonObject perl =
        read(QStringLiteral("/usr/bin/perl"), QStringLiteral("read_mail.pl"), eml);
    QVERIFY2(!python.isEmpty(), "Python's email package could not read the message");
    QVERIFY2(!perl.isEmpty(), "MIME::Tools could not read the message");
    const QByteArray dump = QJsonDocument(python).toJson() + QJsonDocument(perl).toJson();

    // What each reader shows.
    for (const QJsonObject& mail : {python, perl}) {
        QVERIFY2(mail.value("subject").toString() == subject, dump.constData());
        QVERIFY2(mail.value("from_name").toString() == name, dump.constData());
        QCOMPARE(mail.value("from_address").toString(), kSender);
        QCOMPARE(normalizedLineEnds(mail.value("body").toString()), normalizedLineEnds(body));
        const QJsonArray parts = mail.value("attachments").toArray();
        QCOMPARE(parts.size(), attachments.size());
        for (int i = 0; i < attachments.size(); ++i) {
            const QJsonObject part = parts.at(i).toObject();
            QCOMPARE(part.value("filename").toString(), attachments[i]);
            QCOMPARE(part.value("name").toString(), attachments[i]);
            QCOMPARE(part.value("sha256").toString(), sha256(attachmentBytes(attachments[i])));
        }
    }
    // Python's newer API adds a blank between two encoded words of a name, against RFC 2047.
    // An ASCII name must never be encoded words, so it reads right there as well; so must a
    // name that fits one word. A longer one reads there with the same words: its encoded
    // words end only where the name has a blank, so the added blanks only widen its own.
    const bool asciiName =
        std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.unicode() < 0x80; });
    const QString modern = python.value("from_name_modern").toString();
    if (asciiName || python.value("raw_from").toString().count(QLatin1String("=?")) <= 1)
        QVERIFY2(modern == name, dump.constData());
    else
        QVERIFY2(modern.simplified() == name.simplified(), dump.constData());

    // One charset for the whole mail, and strict JIS text stays ISO-2022-JP.
    QSet<QString> charsets = {python.value("body_charset").toString()};
    for (const char* key : {"subject_charsets", "from_charsets"})
        for (const QJsonValue& charset : python.value(QLatin1String(key)).toArray())
            charsets << charset.toString();
    QVERIFY2(charsets.size() == 1, dump.constData());
    QCOMPARE(perl.value("body_charset").toString(), python.value("body_charset").toString());
    if (strictJis) {
        QCOMPARE(python.value("body_charset").toString(), QStringLiteral("iso-2022-jp"));
        QCOMPARE(python.value("body_transfer_encoding").toString().toLower(),
                 QStringLiteral("7bit"));
        for (const QJsonValue& escape : python.value("escapes").toArray())
            QVERIFY2(QStringList({"$B", "(B"}).contains(escape.toString()),
                     qPrintable(escape.toString()));
    }

    // A well-formed message.
    const QJsonArray headers = python.value("header_names").toArray();
    for (const char* header : {"Date", "Message-ID", "From", "To", "Subject", "MIME-Version"})
        QVERIFY2(headers.contains(QLatin1String(header)), header);
    QVERIFY2(python.value("message_id").toString().endsWith(QLatin1String("@example.jp>")),
             dump.constData());
    QVERIFY(python.value("to").toString().contains(kRecipient));
    QCOMPARE(python.value("bare_cr_or_lf").toBool(), false);
    QVERIFY(python.value("max_line_octets").toInt() <= 998);
    QVERIFY2(python.value("max_header_line").toInt() <= 78, dump.constData());
    QCOMPARE(python.value("eight_bit").toBool(), false);
    QCOMPARE(python.value("nul").toBool(), false);
    QVERIFY2(python.value("defects").toArray().isEmpty(), dump.constData());
    if (!attachments.isEmpty())
        QCOMPARE(python.value("content_type").toString(), QStringLiteral("multipart/mixed"));
}

void TestSmtpAiosmtpd::rejectedRecipientReportsTheServersReply()
{
    const QStringList before = storedMessages();
    const int result = NMailSmtpSendMail(
        m_env.smtpServer(), QStringLiteral("reject-me@example.jp"), nullptr, nullptr,
        QStringLiteral("送信者<") + kSender + QStringLiteral(">"), QStringLiteral("件名"),
        QStringLiteral("本文\r\n"), nullptr, QString(), 1);
    QVERIFY(result < 0);
    QString message(kErrorTextBufferSize, QChar());
    int size = kErrorTextBufferSize;
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
