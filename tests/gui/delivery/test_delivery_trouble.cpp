// What a run tells the operator when things go wrong around it: a server that fails mail after
// mail pauses the run; failed POP logins show in Label3 and the error log; a MAIL setting that
// is not one address refuses the send.
#include "bulk_test_tools.h"
#include "fake_smtp_server.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using Harness = testing_support::MainWindowFixture;
using platform::MsgIcon;
using testing_support::failedSend;
using testing_support::kOperator;
using testing_support::kRunTimeout;
using testing_support::kStamp;
using transport::FailureClass;

namespace {

QString serverDownText(const QString& server, int row, const QString& reason)
{
    return QStringLiteral("SMTPサーバー %1 との通信に%2通続けて失敗しました。配信を一時停止します。"
                          "\n最後のエラー: %3\nサーバーを確認してから「Rtry」を押すと、配信を"
                          "再開します。")
        .arg(server)
        .arg(row)
        .arg(reason);
}

// Presses Rtry at 100 ms each time the run pauses, until it ends; *pausedAt gets the mail
// counts at which it paused.
void resumeUntilTheEnd(Harness& h, QList<int>* pausedAt)
{
    for (int round = 0; round < 10; ++round) {
        QTRY_VERIFY_WITH_TIMEOUT(h.ended() || h.form->run.PauseFlag == 1, kRunTimeout);
        if (h.ended())
            return;
        *pausedAt << h.form->run.SendCount;
        // Paused as by Pouse: nothing more goes out (the start notice and the mails so far),
        // and the interval field waits.
        QTest::qWait(60);
        QCOMPARE(h.transport->sends().size(), h.form->run.SendCount + 1);
        QVERIFY(!h.form->Timer1->isEnabled());
        QVERIFY(h.form->txtTimerTime->isEnabled());
        QCOMPARE(h.form->focusWidget(), static_cast<QWidget*>(h.form->txtTimerTime));
        h.form->txtTimerTime->setText("100");
        h.form->cmdSendRtry->click();
    }
    QFAIL("the run did not end");
}

} // namespace

class TestDeliveryTrouble : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    // One letter per list address: C fails at the connection level, T is a recipient refused
    // by the server, L a mail refused before any connection, S an address of the suppression
    // list (skipped, never sent), "." a mail that went out. pausedAt counts the mails sent.
    void deadServerPausesTheRun_data()
    {
        QTest::addColumn<QString>("outcomes");
        QTest::addColumn<QList<int>>("pausedAt");
        QTest::newRow("three in a row") << "CCC..." << QList<int>{3};
        QTest::newRow("still down after Rtry") << "CCCC.." << QList<int>{3, 4};
        QTest::newRow("recipient refusals are no sign") << "CCTCC." << QList<int>{};
        QTest::newRow("a mail that went out ends the row") << "CC.CC." << QList<int>{};
        QTest::newRow("local refusals neither count nor end it") << "CLCC.." << QList<int>{4};
        QTest::newRow("the list's last three") << "...CCC" << QList<int>{};
        QTest::newRow("a skipped address neither counts nor ends it") << "CCSC.." << QList<int>{3};
        QTest::newRow("nor do several") << "CSSCSC." << QList<int>{3};
    }

    void deadServerPausesTheRun()
    {
        QFETCH(QString, outcomes);
        QFETCH(QList<int>, pausedAt);
        Harness h([](aMain_sMail::SettingsRecord& s) { s.ERRLOG = 1; });
        QStringList list;
        QStringList sent;
        QStringList suppressed;
        QStringList errorLines;
        QStringList boxes;
        int failed = 0;
        int row = 0;
        for (int i = 0; i < outcomes.size(); ++i) {
            const QString address = QString("m%1@example.jp").arg(i + 1);
            list << address;
            const QChar kind = outcomes.at(i);
            if (kind == 'S') {
                suppressed << address;
                errorLines << bulk_testing::kSuppressed + "," + address + "," + kStamp;
                continue;
            }
            sent << address;
            const FailureClass failure = kind == 'C'   ? FailureClass::Connection
                                         : kind == 'T' ? FailureClass::Transaction
                                                       : FailureClass::Local;
            row = kind == 'C' ? row + 1 : kind == 'L' ? row : 0;
            if (kind == '.')
                continue;
            const QString reason = QString("理由 %1").arg(i + 1);
            h.transport->setSendOutcome(address, failedSend(reason, failure));
            errorLines << reason + "," + address + "," + kStamp;
            ++failed;
            if (pausedAt.contains(sent.size()))
                boxes << serverDownText("smtp.example.jp:25", row, reason);
        }
        boxes << QString("送信が完了しました。\n送信件数：%1　配信エラー件数：%2")
                     .arg(sent.size())
                     .arg(failed);
        if (!suppressed.isEmpty()) {
            errorLines.prepend(bulk_testing::kNothingTakenIn + "," + kStamp);
            h.app.write("csv/stop.csv", suppressed.join("\r\n").toLatin1());
            h.app.write("ini/bulk.ini",
                        bulk_testing::completeBulkIni("SUPPRESS=1\nSUPPRESSPATH=" +
                                                      h.app.file("csv/stop.csv").toUtf8()));
        }

        h.fillMessage();
        h.useList(list.join("\r\n").toLatin1());
        h.form->SendCommand->click();
        QList<int> paused;
        resumeUntilTheEnd(h, &paused);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(paused, pausedAt);

        QCOMPARE(h.boxTexts(), boxes);
        for (const platform::MessageBoxRequest& box : h.fakes.boxes().shown)
            QCOMPARE(box.caption, std::optional<QString>("KEZ-MAILER"));
        QCOMPARE(h.fakes.boxes().shown.front().icon,
                 pausedAt.isEmpty() ? MsgIcon::Exclamation : MsgIcon::Critical);
        // Every address once, each failure counted and logged once.
        QCOMPARE(h.recipients(), QStringList() << kOperator << sent << kOperator);
        QCOMPARE(h.form->lblErrCnt->text(), QString::number(failed));
        QCOMPARE(h.logLines("log/error.log"), errorLines);
    }

    // The same through the real transport: nothing listens on the SMTP port, so every
    // connection is refused. The operator points the settings at a working server during the
    // pause, and Rtry sends the rest there.
    void refusedConnectionsThroughTheTransport()
    {
        testing_support::FakeSmtpServer server;
        const QString closed = QString("127.0.0.1:%1").arg(server.unusedPort());
        testing_support::WindowOptions options;
        options.realTransport = true;
        options.tweak = [&](aMain_sMail::SettingsRecord& s) {
            s.SMTP = closed;
            s.SENDLOG = 1;
            s.ERRLOG = 1;
        };
        Harness h(options);
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\nd@example.jp\r\ne@example.jp");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.form->run.PauseFlag == 1, kRunTimeout);

        QCOMPARE(h.boxCaptions(), QStringList({"開始通知メール送信エラー", "KEZ-MAILER"}));
        const QStringList errors = h.logLines("log/error.log");
        QCOMPARE(errors.size(), 3);
        const QString lastReason = errors.last().section(',', 0, 0);
        QVERIFY2(lastReason.contains(closed), qPrintable(lastReason));
        QCOMPARE(h.boxTexts().at(1), serverDownText(closed, 3, lastReason));
        QCOMPARE(h.fakes.boxes().shown.at(1).icon, MsgIcon::Critical);
        QTest::qWait(100);
        QCOMPARE(h.form->lblSndRec->text(), QString("3"));

        aMain_sMail::Settings.SMTP = server.address();
        h.form->txtTimerTime->setText("100");
        h.form->cmdSendRtry->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);

        QList<QByteArray> stored;
        for (const testing_support::SmtpMessage& m : server.acceptedMessages())
            stored << m.recipients;
        QCOMPARE(stored, QList<QByteArray>({"d@example.jp", "e@example.jp", kOperator.toLatin1()}));
        QCOMPARE(h.logLines("log/send.log"),
                 QStringList({"d@example.jp," + kStamp, "e@example.jp," + kStamp}));
        for (int i = 0; i < 3; ++i)
            QVERIFY2(errors.at(i).endsWith(
                         QString(",%1@example.jp,").arg(QChar(char16_t(u'a' + i))) + kStamp),
                     qPrintable(errors.at(i)));
        QCOMPARE(h.boxTexts().last(),
                 QString("送信が完了しました。\n送信件数：5　配信エラー件数：3"));
    }

    // A failed login during a run shows in Label3 and the error log, and stops nothing: the
    // notices' logins are nobody's to acknowledge.
    void failedPopLoginsInARun()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.POP3TIME = 1;
            s.SENDLOG = 1;
            s.ERRLOG = 1;
        });
        const QString reason = "POP3の認証に失敗しました (USER/PASS、ユーザー user): -ERR [AUTH] "
                               "Authentication failed.";
        h.transport->setLoginOutcome({false, reason});
        QString labelAtFirstMail;
        h.transport->holdSend("a@example.jp", [&] { labelAtFirstMail = h.form->Label3->text(); });
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);

        QCOMPARE(h.transport->log(),
                 QStringList({"login user", "send " + kOperator, "send a@example.jp",
                              "send b@example.jp", "login user", "send " + kOperator}));
        QCOMPARE(labelAtFirstMail, QString("ＰＯＰ３認証エラー"));
        QCOMPARE(h.form->Label3->toolTip(), reason);
        QCOMPARE(h.boxTexts(), QStringList({"送信が完了しました。"}));
        QCOMPARE(h.logLines("log/error.log"),
                 QStringList({reason + ",," + kStamp, reason + ",," + kStamp}));
        QCOMPARE(h.logLines("log/send.log").size(), 2);
    }

    // The login's line could not be written: said at once, and a running run pauses for it as
    // for a mail's line; before the list is open there is nothing to pause yet.
    void unwritableLoginLine()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.POP3TIME = 1;
            s.ERRLOG = 1;
            s.SENDSPAN = 60000;
        });
        const QString badPath = h.app.file("nofolder/error.log");
        aMain_sMail::Settings.ERRLOGPAS = badPath;
        h.transport->setLoginOutcome({false, "-ERR no"});
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp");
        h.form->SendCommand->click();
        QCOMPARE(h.boxTexts().size(), 1);
        QVERIFY2(h.boxTexts().front().startsWith(
                     "ログファイルに書き込めませんでした。\nファイル: " + badPath + "\n"),
                 qPrintable(h.boxTexts().front()));
        QVERIFY(h.form->Timer1->isEnabled());

        // Timer2's login comes due.
        h.fakes.boxes().shown.clear();
        h.form->run.PopTickCount = 59;
        h.form->Timer2_Timer();
        QCOMPARE(h.boxTexts().size(), 1);
        QVERIFY2(h.boxTexts().front().startsWith(
                     "ログファイルに書き込めませんでした。配信を一時停止します。\nファイル: " +
                     badPath + "\n"),
                 qPrintable(h.boxTexts().front()));
        QVERIFY2(h.boxTexts().front().endsWith("\n書き込めなかった行: -ERR no,," + kStamp),
                 qPrintable(h.boxTexts().front()));
        QCOMPARE(h.form->run.PauseFlag, qint16(1));
        QVERIFY(!h.form->Timer1->isEnabled());
        QVERIFY(!h.form->Timer2->isEnabled());
        QVERIFY(h.form->txtTimerTime->isEnabled());
        QCOMPARE(h.transport->sends().size(), 1);
    }

    void mailSettingMustBeOneAddress_data()
    {
        QTest::addColumn<QString>("mail");
        QTest::newRow("a second address after a bracket") << "op@example.jp> <evil@evil.test";
        QTest::newRow("two addresses") << "op@example.jp evil@evil.test";
        QTest::newRow("in brackets") << "<op@example.jp>";
        QTest::newRow("ideographic space inside") << "op@example.jp　x";
    }

    void mailSettingMustBeOneAddress()
    {
        QFETCH(QString, mail);
        Harness h;
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp");
        aMain_sMail::Settings.MAIL = mail;
        const QString refusal =
            "メールアドレスの設定が正しくありません。空白や < > を含まないアドレス"
            "を１つだけ設定して下さい。\n" +
            mail;
        for (QAbstractButton* button : {static_cast<QAbstractButton*>(h.form->SendCommand),
                                        static_cast<QAbstractButton*>(h.form->cmdTestSend)}) {
            h.fakes.boxes().shown.clear();
            button->click();
            QCOMPARE(h.boxTexts(), QStringList({refusal}));
            QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER"}));
            QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Exclamation);
        }
        // The schedule menu checks as the send button will when the time comes.
        h.fakes.boxes().shown.clear();
        h.form->mnOption_Timer->trigger();
        QCOMPARE(h.boxTexts(), QStringList({refusal}));
        QCOMPARE(h.boxCaptions(), QStringList({"<none>"}));

        QTest::qWait(50);
        QVERIFY(h.transport->requests().isEmpty());
        for (QWidget* w : h.form->runLockedControls())
            QVERIFY(w->isEnabled());
        QVERIFY(!h.form->Timer1->isEnabled());
    }
};

QTEST_MAIN(TestDeliveryTrouble)
#include "test_delivery_trouble.moc"
