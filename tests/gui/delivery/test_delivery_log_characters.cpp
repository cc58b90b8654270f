// A run whose log lines hold characters code page 932 can't hold, from a UTF-8 list and from a
// server's reply: each goes into its log as "&#NNNN;", the run never pauses for them, and the
// lines stay in order.
#include "delivery_harness.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

using delivery_testing::Harness;
using delivery_testing::kOperator;
using delivery_testing::kStamp;

class TestDeliveryLogCharacters : public QObject
{
    Q_OBJECT
private slots:
    void charactersBeyondCp932NeitherPauseNorVanish()
    {
        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.SENDLOG = 1;
            s.ERRLOG = 1;
        });
        testing_support::SmtpScript script;
        script.rejectRecipients["b@example.jp"] = "550 5.1.1 Empfänger unbekannt 📪";
        h.smtp.setScript(script);
        h.fillMessage();
        // A spreadsheet's "CSV UTF-8": a domain with ü goes out in punycode, a local part with
        // an emoji is refused before the server.
        h.useList("\xEF\xBB\xBF"
                  "info@müller.de\r\na@example.jp\r\nb@example.jp\r\n😀@example.jp\r\n"
                  "c@example.jp\r\n");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), 15000);

        QCOMPARE(h.boxTexts(), QStringList({"送信が完了しました。"}));
        QCOMPARE(h.form->PauseFlag, qint16(0));
        QCOMPARE(h.recipients(), QStringList({kOperator, "info@xn--mller-kva.de", "a@example.jp",
                                              "c@example.jp", kOperator}));
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
