// The test mail, the start and end notices, and the POP login before them.
#include "delivery_harness.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using delivery_testing::Harness;
using delivery_testing::kOperator;
using platform::MsgIcon;

namespace {

constexpr int kRunTimeout = 15000;

} // namespace

class TestOperatorMails : public QObject
{
    Q_OBJECT
private slots:
    void testSendChecksInOrder()
    {
        Harness h;
        WriteForm& f = *h.form;
        const std::vector<Harness::Refusal> steps = {
            {[] { aMain_sMail::Settings.MAIL.clear(); }, "設定ファイルが正しく設定されていません。",
             nullptr},
            {[&] {
                 aMain_sMail::Settings.MAIL = kOperator;
                 f.ToText->setText("\t \t");
             },
             "CSVファイルを指定して下さい。", f.ToText},
            // The list is neither opened nor tested: a missing file passes.
            {[&] { f.ToText->setText(h.app.file("csv/none.csv")); }, "Subjectを指定して下さい。",
             f.SubjectText},
            {[&] { f.SubjectText->setText(" "); }, "送信者を指定して下さい。", f.txtFrom},
        };
        h.checkRefusals(f.cmdTestSend, steps);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(h.smtp.messages().isEmpty());
        QCOMPARE(h.pop3.connectionCount(), 0);
    }

    void testSendSuccess()
    {
        Harness h;
        h.form->ToText->setText("list.csv");
        h.form->SubjectText->setText("  Hello");
        h.form->txtFrom->setText("Taro");
        h.form->cmdTestSend->click();
        QCOMPARE(h.recipients(), QStringList({kOperator}));
        QCOMPARE(h.subjects(), QStringList({"[テスト配信]   Hello"}));
        QCOMPARE(delivery_testing::headerText(h.smtp.messages().front().content(), "From"),
                 QString("Taro <op@example.jp>"));
        QCOMPARE(h.boxTexts(), QStringList({"テスト配信が正常に行われました。"}));
        QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER"}));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Information);
        // A test mail is no part of a run.
        QCOMPARE(h.form->SendFlag, qint16(0));
        QVERIFY(h.form->lblSndRec->text().isEmpty());
        QVERIFY(h.form->SendCommand->isEnabled());
        QCOMPARE(h.pop3.connectionCount(), 0);
    }

    void testSendFailure()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.SMTP = QString("127.0.0.1:%1").arg(testing_support::FakeSmtpServer::unusedPort());
        });
        h.form->ToText->setText("list.csv");
        h.fillMessage();
        h.form->cmdTestSend->click();
        QCOMPARE(h.boxCaptions(), QStringList({"テスト配信の送信エラー "}));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Critical);
        QCOMPARE(h.fakes.boxes().shown.front().buttons, platform::MsgButtons::Ok);
        QVERIFY(!h.boxTexts().front().isEmpty());
        QVERIFY(!h.boxTexts().front().contains(QChar(u'\0')));
    }

    void popLoginBeforeEachOwnMail_data()
    {
        QTest::addColumn<qint16>("apop");
        QTest::addColumn<QString>("firstCommand");
        QTest::newRow("USER/PASS") << qint16(0) << "USER user";
        QTest::newRow("APOP 2") << qint16(2) << "APOP user";
    }

    void popLoginBeforeEachOwnMail()
    {
        QFETCH(qint16, apop);
        QFETCH(QString, firstCommand);
        Harness h([apop](aMain_sMail::SettingsRecord& s) {
            s.POP3TIME = 5;
            s.APOP = apop;
        });
        h.pop3.setApopTimestamp("<1896.697170952@fake.pop3.test>");
        h.form->ToText->setText("list.csv");
        h.fillMessage();

        // The status line shows while the login is under way, and is empty afterwards.
        QString labelDuringLogin;
        QTimer::singleShot(0, h.form.get(), [&] { labelDuringLogin = h.form->Label3->text(); });
        h.form->cmdTestSend->click();
        QCOMPARE(labelDuringLogin, QString("ＰＯＰ３承認中"));
        QVERIFY(h.form->Label3->text().isEmpty());
        QCOMPARE(h.pop3.loginCount(), 1);
        QVERIFY2(h.pop3.clientLines().value(0).startsWith(firstCommand),
                 qPrintable(h.pop3.clientLines().join('|')));
        QCOMPARE(h.smtp.messages().size(), 1);

        // A run: one login before the start notice and one before the end notice.
        h.pop3.clearRecord();
        h.fakes.boxes().shown.clear();
        h.useList("a@example.jp\r\nb@example.jp");
        h.form->SendCommand->click();
        QCOMPARE(h.pop3.loginCount(), 1);
        QVERIFY(h.form->Timer2->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.pop3.loginCount(), 2);
        QCOMPARE(h.smtp.messages().size(), 5);
    }

    void noPopLoginWhenOff()
    {
        Harness h;
        h.fillMessage();
        h.form->ToText->setText("list.csv");
        h.form->cmdTestSend->click();
        h.useList("a@example.jp\r\nb@example.jp");
        h.form->SendCommand->click();
        QVERIFY(!h.form->Timer2->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.smtp.messages().size(), 5);
        QCOMPARE(h.pop3.connectionCount(), 0);
    }

    void unreachablePopServerIsSilent()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) { s.POP3TIME = 1; });
        h.pop3.stop();
        h.form->ToText->setText("list.csv");
        h.fillMessage();
        h.form->cmdTestSend->click();
        QCOMPARE(h.boxTexts(), QStringList({"テスト配信が正常に行われました。"}));
        QVERIFY(h.form->Label3->text().isEmpty());
    }

    void periodicLogin()
    {
        // Every 60th tick of Timer2 logs in once and starts counting again.
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.POP3TIME = 1;
            s.SENDSPAN = 60000;
        });
        QCOMPARE(h.form->Timer2->interval(), qint64(1000));
        h.form->PopTickCount = 57;
        h.form->Timer2_Timer();
        h.form->Timer2_Timer();
        QCOMPARE(h.pop3.connectionCount(), 0);
        QCOMPARE(h.form->PopTickCount, qint16(59));
        h.form->Timer2_Timer();
        QCOMPARE(h.pop3.loginCount(), 1);
        QCOMPARE(h.form->PopTickCount, qint16(0));
        QVERIFY(h.form->Timer1->isEnabled());
        QVERIFY(h.form->Timer2->isEnabled());

        // A pause stands: a login that ends while the run is paused does not restart it.
        h.form->cmdSendPouse->click();
        h.form->PopTickCount = 59;
        h.form->Timer2_Timer();
        QCOMPARE(h.pop3.loginCount(), 2);
        QVERIFY(!h.form->Timer1->isEnabled());
        QVERIFY(!h.form->Timer2->isEnabled());
    }
};

QTEST_MAIN(TestOperatorMails)
#include "test_operator_mails.moc"
