// A run over a code page 932 list with columns, as a spreadsheet saves it, against the real
// SMTP sink through the real transport. Each stored mail is read back by Python's email package
// (tests/integration/parse_mail.py): its row's fields in its own subject, sender name and body,
// and UTF-8 only for the mail whose fields need it.
#include "bulk_test_tools.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"
#include "servers_env.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

using Harness = testing_support::MainWindowFixture;
using testing_support::kOperator;
using testing_support::kStamp;

namespace {

// メールアドレス,氏名,会社名 / m1,山田,株式会社①商事 / m2,(empty),南商店 /
// m3,鈴木,"北山工業, 本社": bytes as Excel's "CSV (comma delimited)" writes them.
const QByteArray kList =
    "\x83\x81\x81[\x83\x8B\x83"
    "A\x83h\x83\x8C\x83X,\x8E\x81\x96\xBC,\x89\xEF\x8E\xD0\x96\xBC\x0D\x0A"
    "m1@example.jp,\x8ER\x93"
    "c,\x8A\x94\x8E\xAE\x89\xEF\x8E\xD0\x87@\x8F\xA4\x8E\x96\x0D\x0A"
    "m2@example.jp,,\x93\xEC\x8F\xA4\x93X\x0D\x0A"
    "m3@example.jp,\x97\xE9\x96\xD8,\"\x96k\x8ER\x8DH\x8B\xC6, \x96{\x8E\xD0\"\x0D\x0A";

QJsonObject parsed(const QString& eml)
{
    const QString script = QDir(qEnvironmentVariable("KEZ_SOURCE_DIR"))
                               .filePath(QStringLiteral("tests/integration/parse_mail.py"));
    const std::optional<QByteArray> out =
        bulk_testing::run(QStringLiteral("/usr/bin/python3"), {script, eml});
    return out ? QJsonDocument::fromJson(*out).object() : QJsonObject();
}

} // namespace

class TestDeliveryMergeServers : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }
    void fieldsReachTheirOwnMail();
};

void TestDeliveryMergeServers::fieldsReachTheirOwnMail()
{
    struct Mail
    {
        QString to, subject, senderName, body, charset;
    };
    const struct
    {
        const char* name;
        QString body;
        QList<Mail> mails;
        QStringList errorLog;
    } cases[] = {
        {"an empty field without a default skips its row",
         QStringLiteral("「{{会社名}}　{{氏名}}様」"),
         {{"m1@example.jp", "株式会社①商事のご案内", "山田担当", "「株式会社①商事　山田様」",
           "utf-8"},
          {"m3@example.jp", "北山工業, 本社のご案内", "鈴木担当", "「北山工業, 本社　鈴木様」",
           "iso-2022-jp"}},
         {QStringLiteral("差し込み項目「氏名」が空のため送信しませんでした,m2@example.jp,") +
          kStamp}},
        {"a default fills an empty field",
         QStringLiteral("「{{会社名}}　{{氏名|お客様}}様」"),
         {{"m1@example.jp", "株式会社①商事のご案内", "山田担当", "「株式会社①商事　山田様」",
           "utf-8"},
          {"m2@example.jp", "南商店のご案内", "皆様担当", "「南商店　お客様様」", "iso-2022-jp"},
          {"m3@example.jp", "北山工業, 本社のご案内", "鈴木担当", "「北山工業, 本社　鈴木様」",
           "iso-2022-jp"}},
         {}},
    };
    integration::ServersEnv env;
    QString errorText;
    if (!env.load(&errorText))
        QFAIL(qPrintable(errorText));
    const QString store = env.value("KEZ_SMTP_STORE");

    for (const auto& c : cases) {
        const QStringList before = integration::filesIn(store, "*.json");
        testing_support::WindowOptions options;
        options.realTransport = true;
        const QString server = env.smtpServer();
        options.tweak = [server](aMain_sMail::SettingsRecord& s) {
            s.SMTP = server;
            s.POP3.clear();
            s.SENDLOG = 1;
            s.ERRLOG = 1;
        };
        Harness h(options);
        h.useList(kList);
        h.form->SubjectText->setText(QStringLiteral("{{会社名}}のご案内"));
        h.form->txtFrom->setText(QStringLiteral("{{氏名|皆様}}担当"));
        h.form->BodyText->setPlainText(c.body);
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), 60000);

        QCOMPARE(h.logLines("log/error.log"), c.errorLog);
        // The send log keeps to the address, whatever the mail held.
        QStringList sendLines;
        for (const Mail& mail : c.mails)
            sendLines << mail.to + "," + kStamp;
        QCOMPARE(h.logLines("log/send.log"), sendLines);

        QStringList stored = integration::filesIn(store, "*.json");
        for (const QString& name : before)
            stored.removeOne(name);
        QList<Mail> got;
        for (const QString& name : stored) {
            const QString json = QDir(store).filePath(name);
            const QJsonObject meta = QJsonDocument::fromJson(integration::readAll(json)).object();
            const QString to = meta.value("rcpt_tos").toArray().at(0).toString();
            if (to == kOperator)
                continue; // the start and end notices
            const QJsonObject mail = parsed(json.chopped(5) + ".eml");
            QVERIFY2(mail.value("defects").toArray().isEmpty(),
                     QJsonDocument(mail).toJson().constData());
            got.append({to, mail.value("subject").toString(), mail.value("from_name").toString(),
                        mail.value("body").toString().trimmed(),
                        mail.value("body_charset").toString()});
        }
        QCOMPARE(got.size(), c.mails.size());
        for (qsizetype i = 0; i < got.size(); ++i) {
            const Mail& want = c.mails.at(i);
            QCOMPARE(got.at(i).to, want.to);
            QCOMPARE(got.at(i).subject, want.subject);
            QCOMPARE(got.at(i).senderName, want.senderName);
            QCOMPARE(got.at(i).body, want.body);
            QCOMPARE(got.at(i).charset, want.charset);
        }
    }
}

QTEST_MAIN(TestDeliveryMergeServers)
#include "test_delivery_merge_servers.moc"
