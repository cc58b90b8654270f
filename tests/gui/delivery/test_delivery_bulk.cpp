// The delivery options in a run of the main window, through the recording transport: which
// list addresses get no mail and what the window and the logs show for them, that nothing is
// added without a readable bulk.ini, and the starts that the options refuse. What the mails
// carry is read back from the real SMTP sink (test_delivery_bulk_servers).
#include "bulk_test_tools.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using Harness = testing_support::MainWindowFixture;
using bulk_testing::kAlreadySent;
using bulk_testing::kSuppressed;
using platform::MsgIcon;
using testing_support::failedSend;
using testing_support::kOperator;
using testing_support::kRunTimeout;
using testing_support::kStamp;
using transport::FailureClass;

namespace {

// Writes a whole ini/bulk.ini with these lines; "@APP@" stands for the application folder.
void writeBulkIni(const Harness& h, const QByteArray& lines)
{
    h.app.write(
        QStringLiteral("ini/bulk.ini"),
        bulk_testing::completeBulkIni(QByteArray(lines).replace("@APP@", h.app.path().toUtf8())));
}

void withLogsAndNotices(aMain_sMail::SettingsRecord& s)
{
    s.SENDLOG = 1;
    s.ERRLOG = 1;
    s.ERRLOGMSG = 1;
}

} // namespace

class TestDeliveryBulk : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void suppressedAndRepeatedAddresses()
    {
        Harness h(withLogsAndNotices);
        h.app.write("csv/stop.csv", "\xEF\xBB\xBFstop@example.jp\r\nhanako@例え.jp\r\n");
        writeBulkIni(h, "SUPPRESS=1\r\nSUPPRESSPATH=@APP@/csv/stop.csv\r\n");
        transport::SendOutcome unknownUser = failedSend("550 5.1.1 User unknown");
        unknownUser.replyCode = 550;
        h.transport->setSendOutcome("reject@example.jp", unknownUser);
        h.transport->setSendOutcome("lost@example.jp",
                                    failedSend("タイムアウトしました。届いている可能性があります。",
                                               FailureClass::Connection, true));
        h.fillMessage();
        h.useList(QStringLiteral("a@example.jp\r\n"
                                 "stop@EXAMPLE.JP\r\n"       // listed: the domain in any case
                                 "Stop@example.jp\r\n"       // listed: the local part in any case
                                 "hanako@XN--R8JZ45G.jp\r\n" // listed in its Japanese form
                                 " a@Example.jp \r\n"        // sent already in this run
                                 "reject@example.jp\r\n"     // refused: may be tried again
                                 "reject@example.jp\r\n"
                                 "lost@example.jp\r\n" // may have arrived: never sent twice
                                 "lost@example.jp\r\n"
                                 "stop@example.jp")
                      .toUtf8()
                      .prepend("\xEF\xBB\xBF"));
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);

        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "reject@example.jp",
                                              "reject@example.jp", "lost@example.jp", kOperator}));
        // Skipped addresses count in neither counter and raise no error notice.
        QCOMPARE(h.form->lblSndRec->text(), QString("4"));
        QCOMPARE(h.form->lblErrCnt->text(), QString("3"));
        QCOMPARE(h.form->run.SkipCount, 6);
        QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER 配信エラー", "KEZ-MAILER 配信エラー",
                                               "KEZ-MAILER 配信エラー", "KEZ-MAILER"}));
        QCOMPARE(h.boxTexts().last(),
                 QString("送信が完了しました。\n送信件数：4　配信エラー件数：3"));
        // The last line was skipped, and the window shows it.
        QCOMPARE(h.form->lblAdres->text(), QString("stop@example.jp"));

        QCOMPARE(h.logLines("log/send.log"), QStringList({"a@example.jp," + kStamp}));
        QCOMPARE(h.logLines("log/error.log"),
                 QStringList({
                     bulk_testing::kNothingTakenIn + "," + kStamp,
                     kSuppressed + ",stop@EXAMPLE.JP," + kStamp,
                     kSuppressed + ",Stop@example.jp," + kStamp,
                     kSuppressed + ",hanako@XN--R8JZ45G.jp," + kStamp,
                     kAlreadySent + ",a@Example.jp," + kStamp,
                     "550 5.1.1 User unknown,reject@example.jp," + kStamp,
                     "550 5.1.1 User unknown,reject@example.jp," + kStamp,
                     "タイムアウトしました。届いている可能性があります。,lost@example.jp," + kStamp,
                     kAlreadySent + ",lost@example.jp," + kStamp,
                     kSuppressed + ",stop@example.jp," + kStamp,
                 }));
        // The mailbox was read once before the run, from the settings' account; the unknown
        // user the server refused went on the list at the run's end, in the list's encoding.
        QCOMPARE(h.intakeScript->calls.size(), 1);
        QCOMPARE(h.intakeScript->calls.first().server, QString("pop.example.jp"));
        QCOMPARE(h.app.read("csv/stop.csv"), QByteArray("\xEF\xBB\xBF"
                                                        "stop@example.jp\r\nhanako@例え.jp\r\n"
                                                        "reject@example.jp\r\n"));
        QCOMPARE(h.logLines("log/suppression_added.log"),
                 QStringList{kStamp + ",reject@example.jp,配信中に拒否 550 5.1.1"});
    }

    // A domain answering 5.7.1 (or a bare 550) mail after mail blocks the sender: after five in a
    // row the run leaves it alone, its other addresses unsent, and goes on with the others. A
    // refusal of another kind in between starts the count again; nothing goes on the list.
    void blockingDomainIsLeftAlone()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) { s.ERRLOG = 1; });
        h.app.write("csv/stop.csv", "old@example.org\r\n");
        writeBulkIni(h, "SUPPRESS=1\r\nSUPPRESSPATH=@APP@/csv/stop.csv\r\n");
        QStringList blocked;
        for (int i = 1; i <= 10; ++i)
            blocked << QString("b%1@blk.jp").arg(i);
        for (const QString& address : blocked) {
            // b3 is refused as mailbox full: not a block, so the row starts afresh after it.
            transport::SendOutcome refused =
                failedSend(address == "b3@blk.jp"   ? "552 5.2.2 Mailbox full"
                           : address == "b5@blk.jp" ? "550 Denied"
                                                    : "550 5.7.1 Sender blocked");
            refused.replyCode = address == "b3@blk.jp" ? 552 : 550;
            h.transport->setSendOutcome(address, refused);
        }
        h.fillMessage();
        h.useList(
            (QStringList{"a1@ok.jp"} + blocked + QStringList{"a2@ok.jp"}).join("\r\n").toLatin1());
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);

        // b1, b2 and then b4 to b8 make the row of five; b9 and b10 are left.
        const QStringList expected = QStringList{kOperator, "a1@ok.jp"} + blocked.mid(0, 8) +
                                     QStringList{"a2@ok.jp", kOperator};
        QCOMPARE(h.recipients(), expected);
        const QStringList log = h.logLines("log/error.log");
        QVERIFY2(log.filter("blk.jp から配信を拒否する応答が5通続いた").size() == 1,
                 qPrintable(log.join('\n')));
        for (const QString& left : blocked.mid(8))
            QVERIFY(
                log.contains(intake::BlockedAddressLogText("blk.jp") + "," + left + "," + kStamp));
        QCOMPARE(h.form->Label3->text(), intake::BlockedDomainLabel("blk.jp"));
        QCOMPARE(h.app.read("csv/stop.csv"), QByteArray("old@example.org\r\n"));
    }

    void repeatsGoOutWhenSwitchedOff()
    {
        Harness h;
        writeBulkIni(h, "ONCEPERRUN=0\r\n");
        h.fillMessage();
        h.useList("a@example.jp\r\na@example.jp\r\n");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(),
                 QStringList({kOperator, "a@example.jp", "a@example.jp", kOperator}));
    }

    void captionCountsSkippedAddressesAsDone()
    {
        Harness h;
        h.app.write("csv/stop.csv", "b@example.jp\r\n");
        writeBulkIni(h, "SUPPRESS=1\r\nSUPPRESSPATH=@APP@/csv/stop.csv\r\n");
        QStringList counts;
        connect(h.form.get(), &QWidget::windowTitleChanged, this,
                [&](const QString& title) { counts << title.section(QChar(u'　'), 2, 2); });
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\n");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(counts, QStringList({"0/3", "1/3", "2/3", "3/3", ""}));
    }

    // A damaged one refuses the start instead (test_delivery_bulk_servers).
    void withoutBulkIniNothingIsAddedAndRepeatsAreSkipped()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) { s.ERRLOG = 1; });
        h.fillMessage();
        h.useList("a@example.jp\r\na@example.jp\r\n");
        h.form->cmdTestSend->click();
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(), QStringList({kOperator, kOperator, "a@example.jp", kOperator}));
        QCOMPARE(h.logLines("log/error.log"),
                 QStringList({kAlreadySent + ",a@example.jp," + kStamp}));
        QCOMPARE(h.boxTexts(),
                 QStringList({"テスト配信が正常に行われました。", "送信が完了しました。"}));
        for (const transport::MailRequest& m : h.transport->sends()) {
            QVERIFY2(m.headers.isEmpty(), qPrintable(m.headers));
            QVERIFY(!m.signer);
        }
    }

    void refusedStartsSendNothing_data()
    {
        QTest::addColumn<QByteArray>("bulkIni");
        QTest::addColumn<QString>("firstLine");
        QTest::addColumn<QString>("named"); // below the application folder
        QTest::addColumn<bool>("testMailRefused");
        QTest::newRow("suppression list missing")
            << QByteArray("SUPPRESS=1\r\nSUPPRESSPATH=@APP@/csv/stop.csv\r\n")
            << "配信停止リストを読み込めませんでした。"
            << "csv/stop.csv" << false;
        QTest::newRow("DKIM key missing")
            << QByteArray("DKIM=1\r\nDKIMDOMAIN=example.jp\r\nDKIMSELECTOR=kez\r\n"
                          "DKIMKEY=@APP@/ini/dkim.pem\r\n")
            << "DKIMの秘密鍵ファイルを使えません。"
            << "ini/dkim.pem" << true;
    }

    void refusedStartsSendNothing()
    {
        QFETCH(QByteArray, bulkIni);
        QFETCH(QString, firstLine);
        QFETCH(QString, named);
        QFETCH(bool, testMailRefused);
        Harness h;
        writeBulkIni(h, bulkIni);
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp\r\n");

        h.form->SendCommand->click();
        QCOMPARE(h.fakes.boxes().shown.size(), size_t(1));
        const QStringList lines = h.boxTexts().first().split('\n');
        QCOMPARE(lines.first(), firstLine);
        QVERIFY2(lines.contains(QDir::toNativeSeparators(h.app.file(named))),
                 qPrintable(h.boxTexts().first()));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Exclamation);
        QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER"}));
        // Nothing went out and nothing is locked: the operator mends the options and starts again.
        QVERIFY(h.transport->requests().isEmpty());
        QVERIFY(!h.form->run.started);
        for (QWidget* w : h.form->runLockedControls())
            QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));

        // The test mail reads the key, but not the suppression list, which only a run consults.
        h.fakes.boxes().shown.clear();
        h.form->cmdTestSend->click();
        if (testMailRefused) {
            QCOMPARE(h.boxTexts().size(), 1);
            QCOMPARE(h.boxTexts().first().section('\n', 0, 0), firstLine);
            QVERIFY(h.transport->requests().isEmpty());
        } else {
            QCOMPARE(h.boxTexts(), QStringList({"テスト配信が正常に行われました。"}));
            QCOMPARE(h.recipients(), QStringList({kOperator}));
        }
        QVERIFY(!h.ended());
    }
};

QTEST_MAIN(TestDeliveryBulk)
#include "test_delivery_bulk.moc"
