// A delivery run against the scripted SMTP server: the start checks and the probe, the order
// of the mails, the counters, the list's line rules and both logs.
#include "delivery_harness.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

using delivery_testing::Harness;
using delivery_testing::kOperator;
using delivery_testing::kStamp;
using platform::MsgIcon;

namespace {

constexpr int kRunTimeout = 15000;

QList<QWidget*> lockedControls(WriteForm& f)
{
    return {f.cmdTestSend, f.SendCommand,   f.cmdCSV,     f.ToText, f.SubjectText,
            f.txtFrom,     f.AttachCommand, f.AttachText, f.cmdDoc, f.BodyText};
}

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
    void noticesMailsAndEndInOrder()
    {
        Harness h;
        h.fillMessage();
        const QString list = h.useList("a@example.jp\r\nb@example.jp\r\n c@example.jp \r\n");
        h.form->SendCommand->click();

        // The start notice is out, the ten controls are locked, and no mail has gone yet.
        QCOMPARE(h.recipients(), QStringList({kOperator}));
        for (QWidget* w : lockedControls(*h.form))
            QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        for (QWidget* w : {static_cast<QWidget*>(h.form->CancelCommand),
                           static_cast<QWidget*>(h.form->cmdSendPouse),
                           static_cast<QWidget*>(h.form->cmdSendRtry)})
            QVERIFY(w->isEnabled());
        QCOMPARE(h.form->SendFlag, qint16(0));
        QVERIFY(h.form->lblSndRec->text().isEmpty());

        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "b@example.jp",
                                              "c@example.jp", kOperator}));
        QCOMPARE(h.subjects(),
                 QStringList({"[開始] Hello", "Hello", "Hello", "Hello", "[終了] Hello"}));
        for (const testing_support::SmtpMessage& m : h.smtp.messages())
            QCOMPARE(m.mailFrom, kOperator.toUtf8());
        QCOMPARE(delivery_testing::headerText(h.smtp.messages().at(1).content(), "From"),
                 QString("Taro <op@example.jp>"));

        QCOMPARE(h.boxTexts(), QStringList({"送信が完了しました。"}));
        QCOMPARE(h.fakes.boxes().shown.front().icon, MsgIcon::Information);
        QCOMPARE(h.boxCaptions(), QStringList({"KEZ-MAILER"}));
        QCOMPARE(h.form->lblSndRec->text(), QString("3"));
        QVERIFY(h.form->lblErrCnt->text().isEmpty());
        QCOMPARE(h.form->lblAdres->text(), QString("c@example.jp"));
        QCOMPARE(h.form->SendFlag, qint16(0));
        QCOMPARE(h.fakes.processEnd().calls, 1);
        QCOMPARE(openHandlesOn(list), 0);
    }

    void countersWithFailures()
    {
        Harness h;
        testing_support::SmtpScript script;
        script.rejectRecipients["b@example.jp"] = "550 5.1.1 User unknown";
        script.rejectRecipients["d@example.jp"] = "550 5.1.1 User unknown";
        h.smtp.setScript(script);
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp\r\nc@example.jp\r\nd@example.jp\r\ne@example.jp");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.form->lblSndRec->text(), QString("5"));
        QCOMPARE(h.form->lblErrCnt->text(), QString("2"));
        QCOMPARE(h.form->SendCount, 5);
        QCOMPARE(h.form->ErrCount, 2);
        // With every log and notice off, a failure shows nowhere else.
        QCOMPARE(h.boxTexts(), QStringList({"送信が完了しました。"}));
        QVERIFY(!QFile::exists(h.app.file("log/send.log")));
        QVERIFY(!QFile::exists(h.app.file("log/error.log")));
    }

    void listsThatDoNotStart_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("one line") << QByteArray("a@example.jp\r\n");
        QTest::newRow("empty") << QByteArray();
    }

    void listsThatDoNotStart()
    {
        QFETCH(QByteArray, bytes);
        Harness h;
        h.fillMessage();
        h.useList(bytes);
        h.form->SendCommand->click();
        QTest::qWait(50);
        QVERIFY(h.smtp.messages().isEmpty());
        QVERIFY(h.fakes.boxes().shown.empty());
        for (QWidget* w : lockedControls(*h.form))
            QVERIFY(w->isEnabled());
        QVERIFY(!h.form->Timer1->isEnabled());
        QVERIFY(!h.ended());
    }

    void lineRules()
    {
        // CR-only line ends work; empty lines give mails to an empty address (refused by the
        // transport, so counted as failures); a comma line goes out whole; a BOM is no part of
        // the first address.
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.SENDLOG = 1;
            s.ERRLOG = 1;
        });
        h.fillMessage();
        h.useList("\xEF\xBB\xBF"
                  "a@example.jp\r\rTaro,b@example.jp\rc@example.jp\r\r");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.recipients(), QStringList({kOperator, "a@example.jp", "Taro,b@example.jp",
                                              "c@example.jp", kOperator}));
        QCOMPARE(h.form->lblSndRec->text(), QString("5"));
        QCOMPARE(h.form->lblErrCnt->text(), QString("2"));
        QCOMPARE(h.logLines("log/send.log"),
                 QStringList({"a@example.jp," + kStamp, "Taro,b@example.jp," + kStamp,
                              "c@example.jp," + kStamp}));
        const QStringList errors = h.logLines("log/error.log");
        QCOMPARE(errors.size(), 2);
        for (const QString& line : errors) {
            QVERIFY2(line.endsWith(",," + kStamp), qPrintable(line));
            QVERIFY(line.size() > kStamp.size() + 2); // the transport's reason comes first
        }
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
        testing_support::SmtpScript script;
        script.rejectRecipients["bad@example.jp"] = "550 5.1.1 No such user here";
        h.smtp.setScript(script);
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
        QCOMPARE(errors.size(), 2);
        QCOMPARE(errors.at(0), QString("old error,x@example.jp,26/01/01 00:00:00"));
        const QString suffix = ",bad@example.jp," + kStamp;
        QVERIFY2(errors.at(1).endsWith(suffix), qPrintable(errors.at(1)));
        const QString reason = errors.at(1).chopped(suffix.size());
        QVERIFY2(reason.contains("550 5.1.1 No such user here"), qPrintable(reason));

        // The notice: address, CR, the untrimmed error text; its line was already on disk.
        QCOMPARE(errorLogAtNotice, errors);
        QCOMPARE(h.fakes.boxes().shown.size(), size_t(2));
        const platform::MessageBoxRequest& notice = h.fakes.boxes().shown.front();
        QCOMPARE(notice.caption, std::optional<QString>("KEZ-MAILER 配信エラー"));
        QCOMPARE(notice.icon, MsgIcon::Critical);
        QCOMPARE(notice.buttons, platform::MsgButtons::Ok);
        QVERIFY(notice.text.startsWith("bad@example.jp\r"));
        QCOMPARE(notice.text.mid(QString("bad@example.jp\r").size()).trimmed(), reason);
        QCOMPARE(h.boxTexts().last(), QString("送信が完了しました。"));
    }

    void logSwitchesOnlyAtOne()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.SENDLOG = 2;
            s.ERRLOG = -1;
            s.ERRLOGMSG = 2;
        });
        testing_support::SmtpScript script;
        script.rejectRecipients["bad@example.jp"] = "550 5.1.1 unknown";
        h.smtp.setScript(script);
        h.fillMessage();
        h.useList("ok@example.jp\r\nbad@example.jp");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.form->lblErrCnt->text(), QString("1"));
        QVERIFY(!QFile::exists(h.app.file("log/send.log")));
        QVERIFY(!QFile::exists(h.app.file("log/error.log")));
        QCOMPARE(h.boxTexts(), QStringList({"送信が完了しました。"}));
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
                 aMain_sMail::Settings.SMTP = h.smtp.address();
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
        QVERIFY(h.smtp.messages().isEmpty());

        // A subject of blanks passes; the trimmed path is the one opened.
        f.txtFrom->setText("Taro");
        h.fakes.boxes().shown.clear();
        f.SendCommand->click();
        QCOMPARE(h.recipients(), QStringList({kOperator}));
        QCOMPARE(h.subjects(), QStringList({"[開始]    "}));
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.smtp.messages().size(), 4);
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
        for (QWidget* w : lockedControls(*h.form))
            QVERIFY(w->isEnabled());
        QTest::qWait(30);
        QVERIFY(h.smtp.messages().isEmpty());
        QVERIFY(!h.form->Timer1->isEnabled());
    }

    void failingServerAndNotices()
    {
        // Nothing listens: both notices report their failure under their own caption, every
        // mail fails, and the run still ends normally.
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.SMTP = QString("127.0.0.1:%1").arg(testing_support::FakeSmtpServer::unusedPort());
        });
        h.fillMessage();
        h.useList("a@example.jp\r\nb@example.jp");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);
        QCOMPARE(h.boxCaptions(), QStringList({"開始通知メール送信エラー",
                                               "終了通知メール送信エラー", "KEZ-MAILER"}));
        QCOMPARE(h.fakes.boxes().shown.at(0).icon, MsgIcon::Critical);
        QCOMPARE(h.fakes.boxes().shown.at(1).icon, MsgIcon::Critical);
        QVERIFY(!h.boxTexts().at(0).isEmpty());
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
        QCOMPARE(h.smtp.messages().size(), 1);
        QCOMPARE(h.form->SendFlag, qint16(0));
        // No run is active yet, so the cancel button closes without asking.
        h.form->CancelCommand->click();
        QVERIFY(h.ended());
        QVERIFY(h.fakes.boxes().shown.empty());
    }
};

QTEST_MAIN(TestDeliveryRun)
#include "test_delivery_run.moc"
