// A run whose log lines hold characters code page 932 can't hold, from a UTF-8 list and from a
// server's reply: each goes into its log as "&#NNNN;", the run never pauses for them, and the
// lines stay in order.
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

using Harness = testing_support::MainWindowFixture;
using testing_support::failedSend;
using testing_support::kOperator;
using testing_support::kRunTimeout;
using testing_support::kStamp;

class TestDeliveryLogCharacters : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void charactersBeyondCp932NeitherPauseNorVanish()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.SENDLOG = 1;
            s.ERRLOG = 1;
        });
        h.transport->setSendOutcome(
            "b@example.jp",
            failedSend("宛先アドレスが拒否されました: 550 5.1.1 Empfänger unbekannt 📪"));
        h.transport->setSendOutcome(
            "😀@example.jp", failedSend("宛先アドレスに使えない文字があります (😀@example.jp)",
                                       transport::FailureClass::Local));
        h.fillMessage();
        // A spreadsheet's "CSV UTF-8": the addresses reach the transport as the list holds them
        // (it makes the domain with ü punycode and refuses the local part with an emoji).
        h.useList("\xEF\xBB\xBF"
                  "info@müller.de\r\na@example.jp\r\nb@example.jp\r\n😀@example.jp\r\n"
                  "c@example.jp\r\n");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);

        QCOMPARE(h.boxTexts(),
                 QStringList({"送信が完了しました。\n送信件数：5　配信エラー件数：2"}));
        QCOMPARE(h.form->run.PauseFlag, qint16(0));
        QCOMPARE(h.recipients(),
                 QStringList({kOperator, "info@müller.de", "a@example.jp", "b@example.jp",
                              "😀@example.jp", "c@example.jp", kOperator}));
        // The address as it stood in the list, not as it went on the wire.
        const QByteArray stamp = kStamp.toLatin1();
        QCOMPARE(h.app.read("log/send.log"), "info@m&#252;ller.de," + stamp + "\r\n" +
                                                 "a@example.jp," + stamp + "\r\n" +
                                                 "c@example.jp," + stamp + "\r\n");
        const QList<QByteArray> errors = h.app.read("log/error.log").split('\n');
        QCOMPARE(errors.size(), 3); // two lines and what follows the last line end
        QVERIFY2(errors.at(0).endsWith(
                     "550 5.1.1 Empf&#228;nger unbekannt &#128234;,b@example.jp," + stamp + '\r'),
                 errors.at(0).constData());
        QVERIFY2(errors.at(1).endsWith(",&#128512;@example.jp," + stamp + '\r'),
                 errors.at(1).constData());
        QCOMPARE(errors.at(2), QByteArray());
        QCOMPARE(h.form->lblErrCnt->text(), QString("2"));
    }
};

QTEST_MAIN(TestDeliveryLogCharacters)
#include "test_delivery_log_characters.moc"
