// The test mail, the start and end notices, and the POP login before them.
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using Harness = testing_support::MainWindowFixture;
using platform::MsgIcon;
using testing_support::failedSend;
using testing_support::kOperator;
using testing_support::kRunTimeout;

class TestOperatorMails : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

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
        QVERIFY(h.transport->requests().isEmpty());
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
        QCOMPARE(h.transport->sends().front().from, QString("Taro<op@example.jp>"));
        QCOMPARE(h.boxTexts(), QStringList({"テスト配信が正常に行われました。"}));
        QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER"}));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Information);
        // A test mail is no part of a run.
        QCOMPARE(h.form->run.SendFlag, qint16(0));
        QVERIFY(h.form->lblSndRec->text().isEmpty());
        QVERIFY(h.form->SendCommand->isEnabled());
        QVERIFY(h.transport->logins().isEmpty());
    }

    void testSendFailure()
    {
        Harness h;
        const QString refused = "SMTPサーバーに接続できません (127.0.0.1:1): 接続が拒否されました";
        h.transport->setOtherSendsOutcome(failedSend(refused, transport::FailureClass::Connection));
        h.form->ToText->setText("list.csv");
        h.fillMessage();
        h.form->cmdTestSend->click();
        QCOMPARE(h.boxCaptions(), QStringList({"テスト配信の送信エラー "}));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Critical);
        QCOMPARE(h.fakes.boxes().shown.front().buttons, platform::MsgButtons::Ok);
        QCOMPARE(h.boxTexts(), QStringList({refused}));
    }

    void popLoginBeforeEachOwnMail_data()
    {
        QTest::addColumn<qint16>("apop");
        QTest::addColumn<bool>("apopAsked");
        QTest::newRow("USER/PASS") << qint16(0) << false;
        QTest::newRow("APOP 2") << qint16(2) << true;
    }

    void popLoginBeforeEachOwnMail()
    {
        QFETCH(qint16, apop);
        QFETCH(bool, apopAsked);
        Harness h([apop](aMain_sMail::SettingsRecord& s) {
            s.POP3TIME = 5;
            s.APOP = apop;
        });
        h.form->ToText->setText("list.csv");
        h.fillMessage();

        // The status line shows while the login is under way, and is empty afterwards.
        QString labelDuringLogin;
        QTimer::singleShot(0, h.form.get(), [&] { labelDuringLogin = h.form->Label3->text(); });
        h.form->cmdTestSend->click();
        QCOMPARE(labelDuringLogin, QString("ＰＯＰ３承認中"));
        QVERIFY(h.form->Label3->text().isEmpty());
        // The login, with the settings of the moment, before the mail.
        QCOMPARE(h.transport->log(), QStringList({"login user", "send " + kOperator}));
        const transport::Pop3Request login = h.transport->logins().front();
        QCOMPARE(login.server, QString("pop.example.jp"));
        QCOMPARE(login.password, QString("secret"));
        QCOMPARE(login.apop, apopAsked);

        // A run: one login before the start notice and one before the end notice.
        h.fakes.boxes().shown.clear();
        h.useList("a@example.jp\r\nb@example.jp");
        h.form->SendCommand->click();
        QCOMPARE(h.transport->logins().size(), 2);
        QVERIFY(h.form->Timer2->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.transport->log().mid(2),
                 QStringList({"login user", "send " + kOperator, "send a@example.jp",
                              "send b@example.jp", "login user", "send " + kOperator}));
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
        QCOMPARE(h.transport->sends().size(), 5);
        QVERIFY(h.transport->logins().isEmpty());
    }

    // The operator watches a test mail: a failed login before it is shown in a box with its
    // reason, and the mail is tried all the same. Label3 says so until a login succeeds.
    void failedPopLoginBeforeTheTestMail()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.POP3TIME = 1;
            s.ERRLOG = 1;
        });
        const QString reason = "POP3サーバー pop.example.jp:110 に接続できませんでした: "
                               "接続が拒否されました";
        h.transport->setLoginOutcome({false, reason});
        h.form->ToText->setText("list.csv");
        h.fillMessage();
        h.form->cmdTestSend->click();
        QCOMPARE(h.boxTexts(), QStringList({reason + "\nこのままテスト配信を送信します。",
                                            "テスト配信が正常に行われました。"}));
        QCOMPARE(h.boxCaptions(), QStringList({"ＰＯＰ３認証エラー", "KEZ-MAILER"}));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Critical);
        QCOMPARE(h.transport->log(), QStringList({"login user", "send " + kOperator}));
        QCOMPARE(h.form->Label3->text(), QString("ＰＯＰ３認証エラー"));
        QCOMPARE(h.form->Label3->toolTip(), reason);
        QCOMPARE(h.form->Label3->palette().color(QPalette::WindowText), QColor(Qt::red));
        // The error log has the login's reason and no address: it was no mail.
        QCOMPARE(h.logLines("log/error.log"),
                 QStringList({reason + ",," + testing_support::kStamp}));

        // The next login succeeds: the status line is empty again.
        h.fakes.boxes().shown.clear();
        h.transport->setLoginOutcome({true, {}});
        h.form->cmdTestSend->click();
        QCOMPARE(h.boxTexts(), QStringList({"テスト配信が正常に行われました。"}));
        QVERIFY(h.form->Label3->text().isEmpty());
        QVERIFY(h.form->Label3->toolTip().isEmpty());
        QCOMPARE(h.logLines("log/error.log").size(), 1);
    }

    void periodicLogin()
    {
        // Every 60th tick of Timer2 logs in once and starts counting again.
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.POP3TIME = 1;
            s.SENDSPAN = 60000;
        });
        QCOMPARE(h.form->Timer2->interval(), qint64(1000));
        h.form->run.PopTickCount = 57;
        h.form->Timer2_Timer();
        h.form->Timer2_Timer();
        QVERIFY(h.transport->logins().isEmpty());
        QCOMPARE(h.form->run.PopTickCount, qint16(59));
        h.form->Timer2_Timer();
        QCOMPARE(h.transport->logins().size(), 1);
        QCOMPARE(h.form->run.PopTickCount, qint16(0));
        QVERIFY(h.form->Timer1->isEnabled());
        QVERIFY(h.form->Timer2->isEnabled());

        // A pause stands: a login that ends while the run is paused does not restart it.
        h.form->cmdSendPouse->click();
        h.form->run.PopTickCount = 59;
        h.form->Timer2_Timer();
        QCOMPARE(h.transport->logins().size(), 2);
        QVERIFY(!h.form->Timer1->isEnabled());
        QVERIFY(!h.form->Timer2->isEnabled());
    }
};

QTEST_MAIN(TestOperatorMails)
#include "test_operator_mails.moc"
