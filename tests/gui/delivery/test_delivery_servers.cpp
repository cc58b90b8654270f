// Runs and test mails against the real servers started by scripts/servers: the aiosmtpd sink,
// which stores what it receives and refuses local parts starting with "reject", and Dovecot for
// the POP logins before them.
#include "main_window_fixture.h"
#include "modal_dialogs.h"
#include "servers_env.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using Harness = testing_support::MainWindowFixture;
using testing_support::kOperator;
using testing_support::kStamp;

class TestDeliveryServers : public QObject
{
    Q_OBJECT

    integration::ServersEnv env;

    // A window on the real transport, pointed at both servers with POP before SMTP and the
    // error log on; tweak changes more.
    testing_support::WindowOptions
    onTheServers(const std::function<void(aMain_sMail::SettingsRecord&)>& tweak)
    {
        testing_support::WindowOptions options;
        options.realTransport = true;
        options.tweak = [this, tweak](aMain_sMail::SettingsRecord& s) {
            s.SMTP = env.smtpServer();
            s.POP3 = env.pop3Server();
            s.USERID = env.value("KEZ_POP3_USER");
            s.IDPAS = env.value("KEZ_POP3_PASSWORD");
            s.POP3TIME = 30;
            s.ERRLOG = 1;
            tweak(s);
        };
        return options;
    }

private slots:
    void initTestCase()
    {
        QString errorText;
        if (!env.load(&errorText))
            QFAIL(qPrintable(errorText));
    }
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void twentyLinesTwoRejected()
    {
        const QString store = env.value("KEZ_SMTP_STORE");
        const QString popLog = env.value("KEZ_POP3_LOG");
        const QStringList before = integration::filesIn(store, "*.json");
        const qint64 popLogStart = integration::fileSize(popLog);

        Harness h(onTheServers([](aMain_sMail::SettingsRecord& s) { s.SENDLOG = 1; }));
        QStringList list;
        QStringList accepted;
        for (int i = 1; i <= 20; ++i) {
            const QString address =
                (i == 7 || i == 15 ? QString("reject%1@example.jp") : QString("user%1@example.jp"))
                    .arg(i);
            list << address;
            if (!address.startsWith("reject"))
                accepted << address;
        }
        h.fillMessage();
        h.useList((list.join("\r\n") + "\r\n").toLatin1().chopped(2));
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), 60000);

        QCOMPARE(h.form->lblSndRec->text(), QString("20"));
        QCOMPARE(h.form->lblErrCnt->text(), QString("2"));

        // What the server stored, in order: the start notice, 18 mails, the end notice.
        QStringList stored = integration::filesIn(store, "*.json");
        for (const QString& name : before)
            stored.removeOne(name);
        QCOMPARE(stored.size(), 20);
        QStringList recipients;
        for (const QString& name : stored) {
            const QJsonObject meta =
                QJsonDocument::fromJson(integration::readAll(QDir(store).filePath(name))).object();
            QCOMPARE(meta.value("mail_from").toString(), kOperator);
            recipients << meta.value("rcpt_tos").toArray().at(0).toString();
        }
        QCOMPARE(recipients, QStringList() << kOperator << accepted << kOperator);

        QStringList sendLines;
        for (const QString& a : accepted)
            sendLines << a + "," + kStamp;
        QCOMPARE(h.logLines("log/send.log"), sendLines);
        const QStringList errors = h.logLines("log/error.log");
        QCOMPARE(errors.size(), 2);
        QVERIFY2(errors.at(0).endsWith(",reject7@example.jp," + kStamp), qPrintable(errors.at(0)));
        QVERIFY2(errors.at(1).endsWith(",reject15@example.jp," + kStamp), qPrintable(errors.at(1)));
        for (const QString& line : errors)
            QVERIFY2(line.contains("550"), qPrintable(line));

        // One POP login before each notice.
        const QByteArray popLogLines = integration::tail(popLog, popLogStart);
        QCOMPARE(popLogLines.count("Login: user=<" + env.value("KEZ_POP3_USER").toUtf8() + ">"), 2);
    }

    // A wrong POP3 password, as Dovecot answers it: the operator sees the server's own reason
    // before the test mail and in Label3, and the error log keeps it. The mail is tried all the
    // same (the sink needs no login), and the next good login clears Label3.
    void wrongPop3PasswordIsReported()
    {
        const QString store = env.value("KEZ_SMTP_STORE");
        const QString popLog = env.value("KEZ_POP3_LOG");
        const QStringList before = integration::filesIn(store, "*.eml");
        const qint64 popLogStart = integration::fileSize(popLog);
        const QString wrong = "not-the-password";

        Harness h(onTheServers([&](aMain_sMail::SettingsRecord& s) { s.IDPAS = wrong; }));
        h.fillMessage();
        h.form->ToText->setText("list.csv");
        h.form->cmdTestSend->click();

        QCOMPARE(h.boxCaptions(), QStringList({"ＰＯＰ３認証エラー", "KEZ-MAILER"}));
        const QString box = h.boxTexts().front();
        // Dovecot's own refusal, never the password.
        QVERIFY2(box.contains("-ERR") && box.contains(env.value("KEZ_POP3_USER")), qPrintable(box));
        QVERIFY2(!box.contains(wrong), qPrintable(box));
        QVERIFY2(box.endsWith("\nこのままテスト配信を送信します。"), qPrintable(box));
        const QString reason = box.section('\n', 0, 0);
        QCOMPARE(h.form->Label3->text(), QString("ＰＯＰ３認証エラー"));
        QCOMPARE(h.form->Label3->toolTip(), reason);
        QCOMPARE(h.logLines("log/error.log"), QStringList({reason + ",," + kStamp}));
        QCOMPARE(h.boxTexts().at(1), QString("テスト配信が正常に行われました。"));
        QStringList stored = integration::filesIn(store, "*.eml");
        for (const QString& name : before)
            stored.removeOne(name);
        QCOMPARE(stored.size(), 1);
        // Dovecot saw the password fail (its log process writes a moment later).
        QTRY_VERIFY2(integration::tail(popLog, popLogStart).contains("Password mismatch"),
                     integration::tail(popLog, popLogStart).constData());

        // The right password: the next login succeeds and Label3 is empty again.
        aMain_sMail::Settings.IDPAS = env.value("KEZ_POP3_PASSWORD");
        h.fakes.boxes().shown.clear();
        h.form->cmdTestSend->click();
        QCOMPARE(h.boxTexts(), QStringList({"テスト配信が正常に行われました。"}));
        QVERIFY(h.form->Label3->text().isEmpty());
        QCOMPARE(h.logLines("log/error.log").size(), 1);
    }
};

QTEST_MAIN(TestDeliveryServers)
#include "test_delivery_servers.moc"
