// A delivery run through the recording transport: the start checks and the probe, the order of
// the mails and what each carries, the counters, the list's line rules and both logs.
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
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

// Files of this process that are still open on path.
int openHandlesOn(const QString& path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo& fd : fds.entryInfoList(QDir::Files | QDir::System))
        if (fd.symLinkTarget() == target)
            ++count;
    return count;
}

} // namespace

class TestDeliveryRun : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void runLocksTheTenControls()
    {
        Harness h;
        QStringList names;
        for (const QWidget* w : h.form->runLockedControls())
            names << w->objectName();
        QCOMPARE(names,
                 QStringList({"cmdTestSend", "SendCommand", "cmdCSV", "ToText", "SubjectText",
                              "txtFrom", "AttachCommand", "AttachText", "cmdDoc", "BodyText"}));
    }

    void noticesMailsAndEndInOrder()
    {
        Harness h;
        h.fillMessage();
        h.form->BodyText->setPlainText("一行目\n二行目");
        h.form->AttachText->setText("/tmp/a.pdf,/tmp/b.pdf");
        const QString list = h.useList("a@example.jp\r\nb@example.jp\r\n c@example.jp \r\n");
        QVERIFY(h.form->mnOption->isEnabled() && h.form->mnOption_Bulk->isEnabled());
        h.form->SendCommand->click();

        // The start notice is out, the ten controls are locked, and no mail has gone yet.
        QCOMPARE(h.recipients(), QStringList({kOperator}));
        for (QWidget* w : h.form->runLockedControls())
            QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        // The settings and the delivery options cannot be saved under the run.
        QVERIFY(!h.form->mnOption->isEnabled());
        QVERIFY(!h.form->mnOption_Bulk->isEnabled());
        for (QWidget* w : {static_cast<QWidget*>(h.form->CancelCommand),
                           static_cast<QWidget*>(h.form->cmdSendPouse),
                           static_cast<QWidget*>(h.form->cmdSendRtry)})
            QVERIFY(w->isEnabled());
        QCOMPARE(h.form->run.SendFlag, qint16(0));
        QVERIFY(h.form->lblSndRec->text().isEmpty());

        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "b@example.jp",
                                              "c@example.jp", kOperator}));
        QCOMPARE(h.subjects(),
                 QStringList({"[開始] Hello", "Hello", "Hello", "Hello", "[終了] Hello"}));
        // Every mail carries the window's fields and the settings, as the transport takes them.
        for (const transport::MailRequest& m : h.transport->sends()) {
            QCOMPARE(m.server, QString("smtp.example.jp"));
            QCOMPARE(m.from, QString("Taro<op@example.jp>"));
            QCOMPARE(m.body, QString("一行目\r\n二行目"));
            QCOMPARE(m.attachments, QString("/tmp/a.pdf,/tmp/b.pdf"));
        }
        // No mail went out on the window's own thread.
        QVERIFY(!h.transport->anyOnApplicationThread());

        QCOMPARE(h.boxTexts(), QStringList({"送信が完了しました。"}));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Information);
        QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER"}));
        QCOMPARE(h.form->lblSndRec->text(), QString("3"));
        QVERIFY(h.form->lblErrCnt->text().isEmpty());
        QCOMPARE(h.form->lblAdres->text(), QString("c@example.jp"));
        QCOMPARE(h.form->run.SendFlag, qint16(0));
        QCOMPARE(h.fakes.processEnd().calls, 1);
        QCOMPARE(openHandlesOn(list), 0);
    }

    void countersWithFailures()
    {
        Harness h;
        for (const char* rejected : {"b@example.jp", "d@example.jp"})
            h.transport->setSendOutcome(rejected, failedSend("550 5.1.1 User unknown"));
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\nd@example.jp\r\ne@example.jp");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.form->lblSndRec->text(), QString("5"));
        QCOMPARE(h.form->lblErrCnt->text(), QString("2"));
        QCOMPARE(h.form->run.SendCount, 5);
        QCOMPARE(h.form->run.ErrCount, 2);
        // With every log and notice off, the completion box is where the failures show: the
        // window closes with it.
        QCOMPARE(h.boxTexts(),
                 QStringList({"送信が完了しました。\n送信件数：5　配信エラー件数：2"}));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Exclamation);
        QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER"}));
        QVERIFY(!QFile::exists(h.app.file("log/send.log")));
        QVERIFY(!QFile::exists(h.app.file("log/error.log")));
    }

    // A list with no address refuses the start, names the file and locks nothing.
    void listsWithoutAnAddress_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("blank lines") << QByteArray("\r\n \r\n\t\r\n\r\n");
        QTest::newRow("blanks, LF line ends") << QByteArray("\n  \n\n \t \n");
        QTest::newRow("byte-order mark only") << QByteArray("\xEF\xBB\xBF\r\n");
        QTest::newRow("ideographic spaces") << QByteArray("\x81\x40\x81\x40\r\n\x81\x40");
    }

    void listsWithoutAnAddress()
    {
        QFETCH(QByteArray, bytes);
        Harness h;
        h.fillMessage();
        const QString list = h.useList(bytes);
        h.form->SendCommand->click();
        QCOMPARE(h.boxTexts(), QStringList({"配信先アドレスがありません。\n" + list}));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Exclamation);
        QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER"}));
        QCOMPARE(h.form->focusWidget(), static_cast<QWidget*>(h.form->ToText));
        QTest::qWait(50);
        QVERIFY(h.transport->requests().isEmpty());
        for (QWidget* w : h.form->runLockedControls())
            QVERIFY(w->isEnabled());
        QVERIFY(!h.form->Timer1->isEnabled());
        QVERIFY(!h.ended());
        QCOMPARE(openHandlesOn(list), 0);
    }

    // A list with one address runs like any other.
    void singleAddressRuns_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("CR LF") << QByteArray("a@example.jp\r\n");
        QTest::newRow("no line end") << QByteArray("a@example.jp");
        QTest::newRow("among blank lines") << QByteArray("\r\n\r\n a@example.jp \n\n\r\n");
    }

    void singleAddressRuns()
    {
        QFETCH(QByteArray, bytes);
        Harness h;
        h.fillMessage();
        h.useList(bytes);
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", kOperator}));
        QCOMPARE(h.form->lblSndRec->text(), QString("1"));
        QCOMPARE(h.boxTexts(), QStringList({"送信が完了しました。"}));
    }

    void lineRules()
    {
        // Blank lines (empty, blanks, tabs, ideographic spaces) hold no recipient: they are not
        // sent, counted or logged, and raise no notice, whatever line ends the list uses. A
        // comma line goes out whole; a BOM is no part of the first address (and makes the list
        // UTF-8, where the ideographic space is E3 80 80).
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.SENDLOG = 1;
            s.ERRLOG = 1;
            s.ERRLOGMSG = 1;
        });
        QStringList captions;
        connect(h.form.get(), &QWidget::windowTitleChanged, this,
                [&](const QString& title) { captions << title; });
        h.fillMessage();
        const char* const blankLines[] = {" \t\r\n", "\n", "\xE3\x80\x80\r"};
        QByteArray blanks;
        for (int i = 0; i < 300; ++i)
            blanks += blankLines[i % 3];
        h.useList("\xEF\xBB\xBF"
                  "a@example.jp\r\r" +
                  blanks + "Taro,b@example.jp\rc@example.jp\r\n" + blanks);
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "Taro,b@example.jp",
                                              "c@example.jp", kOperator}));
        QCOMPARE(h.form->lblSndRec->text(), QString("3"));
        QVERIFY(h.form->lblErrCnt->text().isEmpty());
        QCOMPARE(h.logLines("log/send.log"),
                 QStringList({"a@example.jp," + kStamp, "Taro,b@example.jp," + kStamp,
                              "c@example.jp," + kStamp}));
        QVERIFY(!QFile::exists(h.app.file("log/error.log")));
        QCOMPARE(h.boxTexts(), QStringList({"送信が完了しました。"}));
        // The caption's total counts the same recipients the run sends.
        QVERIFY2(captions.size() >= 2, qPrintable(captions.join('|')));
        QVERIFY2(captions.at(captions.size() - 2).endsWith("　3/3"),
                 qPrintable(captions.join('|')));
    }

    void lfLineEndsEndLines()
    {
        // A lone LF ends a line as CR and CR LF do: what Linux tools and many exports write.
        Harness h;
        h.fillMessage();
        h.useList("a@example.jp\nb@example.jp\r\nc@example.jp\n");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "b@example.jp",
                                              "c@example.jp", kOperator}));
    }

    void logLinesAndNoticeOrder()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.SENDLOG = 1;
            s.ERRLOG = 1;
            s.ERRLOGMSG = 1;
        });
        // The blanks around it are the transport's: the log trims them, the notice does not.
        const QString reason = "宛先アドレスが拒否されました: 550 5.1.1 No such user here";
        h.transport->setSendOutcome("bad@example.jp", failedSend(" " + reason + " "));
        h.app.write("log/send.log", "earlier,26/01/01 00:00:00\r\n");
        h.app.write("log/error.log", "old error,x@example.jp,26/01/01 00:00:00\r\n");

        QStringList errorLogAtNotice;
        h.fakes.boxes().onShow = [&](const platform::MessageBoxRequest& r) {
            if (r.caption == QString("KEZ-MAILER 配信エラー"))
                errorLogAtNotice = h.logLines("log/error.log");
        };
        h.fillMessage();
        h.useList("ok1@example.jp\r\nbad@example.jp\r\nok2@example.jp\r\n");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);

        QCOMPARE(h.logLines("log/send.log"),
                 QStringList({"earlier,26/01/01 00:00:00", "ok1@example.jp," + kStamp,
                              "ok2@example.jp," + kStamp}));
        const QStringList errors = h.logLines("log/error.log");
        QCOMPARE(errors, QStringList({"old error,x@example.jp,26/01/01 00:00:00",
                                      reason + ",bad@example.jp," + kStamp}));

        // The notice: address, CR, the untrimmed error text; its line was already on disk.
        QCOMPARE(errorLogAtNotice, errors);
        QCOMPARE(h.fakes.boxes().shown.size(), size_t(2));
        const platform::MessageBoxRequest& notice = h.fakes.boxes().shown.front();
        QCOMPARE(notice.caption, std::optional<QString>("KEZ-MAILER 配信エラー"));
        QCOMPARE(notice.icon, MsgIcon::Critical);
        QCOMPARE(notice.buttons, platform::MsgButtons::Ok);
        QCOMPARE(notice.text, "bad@example.jp\r " + reason + " ");
        QCOMPARE(h.boxTexts().last(),
                 QString("送信が完了しました。\n送信件数：3　配信エラー件数：1"));
    }

    void logSwitchesOnlyAtOne()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.SENDLOG = 2;
            s.ERRLOG = -1;
            s.ERRLOGMSG = 2;
        });
        h.transport->setSendOutcome("bad@example.jp", failedSend("550 5.1.1 unknown"));
        h.fillMessage();
        h.useList("ok@example.jp\r\nbad@example.jp");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.form->lblErrCnt->text(), QString("1"));
        QVERIFY(!QFile::exists(h.app.file("log/send.log")));
        QVERIFY(!QFile::exists(h.app.file("log/error.log")));
        QCOMPARE(h.boxTexts(),
                 QStringList({"送信が完了しました。\n送信件数：2　配信エラー件数：1"}));
    }

    void startChecksInOrder()
    {
        Harness h;
        WriteForm& f = *h.form;
        const QString list = h.app.write("csv/list.csv", "a@example.jp\r\nb@example.jp");
        const std::vector<Harness::Refusal> steps = {
            {[] { aMain_sMail::Settings.SMTP = "  "; }, "設定ファイルが正しく設定されていません。",
             nullptr},
            {[&] {
                 aMain_sMail::Settings.SMTP = "smtp.example.jp";
                 f.ToText->setText(" \t ");
             },
             "CSVファイルを指定して下さい。", f.ToText},
            {[&] { f.ToText->setText("  " + list + "  "); }, "Subjectを指定して下さい。",
             f.SubjectText},
            {[&] { f.SubjectText->setText("   "); }, "送信者を指定して下さい。", f.txtFrom},
        };
        h.checkRefusals(f.SendCommand, steps);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(h.transport->requests().isEmpty());

        // A subject of blanks passes; the trimmed path is the one opened.
        f.txtFrom->setText("Taro");
        h.fakes.boxes().shown.clear();
        f.SendCommand->click();
        QCOMPARE(h.recipients(), QStringList({kOperator}));
        QCOMPARE(h.subjects(), QStringList({"[開始]    "}));
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.transport->sends().size(), 4);
    }

    void unreadableListIsReported()
    {
        Harness h;
        h.fillMessage();
        const QString missing = h.app.file("csv/missing.csv");
        h.form->ToText->setText(missing);
        h.form->SendCommand->click();
        QCOMPARE(h.fakes.boxes().shown.size(), size_t(1));
        const QString text = h.boxTexts().front();
        QVERIFY2(text.contains(missing), qPrintable(text));
        // The system's reason follows the path.
        QVERIFY(text.size() > text.indexOf(missing) + missing.size() + 2);
        QCOMPARE(h.form->focusWidget(), static_cast<QWidget*>(h.form->ToText));
        for (QWidget* w : h.form->runLockedControls())
            QVERIFY(w->isEnabled());
        QTest::qWait(30);
        QVERIFY(h.transport->requests().isEmpty());
        QVERIFY(!h.form->Timer1->isEnabled());
    }

    void failingServerAndNotices()
    {
        // Nothing listens: both notices report their failure under their own caption, every
        // mail fails, and the run still ends normally.
        Harness h;
        const QString refused = "SMTPサーバーに接続できません (127.0.0.1:1): 接続が拒否されました";
        h.transport->setOtherSendsOutcome(failedSend(refused, FailureClass::Connection));
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.boxCaptions(), QStringList({"開始通知メール送信エラー",
                                               "終了通知メール送信エラー", "KEZ-MAILER"}));
        QCOMPARE(h.fakes.boxes().shown.at(0).icon, MsgIcon::Critical);
        QCOMPARE(h.fakes.boxes().shown.at(1).icon, MsgIcon::Critical);
        QCOMPARE(h.boxTexts().mid(0, 2), QStringList({refused, refused}));
        QCOMPARE(h.form->lblErrCnt->text(), QString("2"));
    }

    void zeroIntervalNeverTicks()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) { s.SENDSPAN = 0; });
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp");
        h.form->SendCommand->click();
        QCOMPARE(h.recipients(), QStringList({kOperator}));
        QTest::qWait(100);
        QCOMPARE(h.transport->sends().size(), 1);
        QCOMPARE(h.form->run.SendFlag, qint16(0));
        // No run is active yet, so the cancel button closes without asking.
        h.form->CancelCommand->click();
        QVERIFY(h.ended());
        QVERIFY(h.fakes.boxes().shown.empty());
    }
};

QTEST_MAIN(TestDeliveryRun)
#include "test_delivery_run.moc"
