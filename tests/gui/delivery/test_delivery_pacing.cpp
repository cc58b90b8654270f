// The pace per destination domain in a run of the main window, through the recording
// transport and the fixture's clock: the order the list's addresses go in, the gap between two
// mails to a paced domain, the caption while only waiting addresses are left, and a domain
// that the server asks to slow down. The spacing against a real server is in test_pacing_sink.
#include "bulk_test_tools.h"
#include "main_window_fixture.h"
#include "modal_dialogs.h"

#include <QPushButton>
#include <QTest>

using Harness = testing_support::MainWindowFixture;
using testing_support::failedSend;
using testing_support::kOperator;
using testing_support::kRunTimeout;
using testing_support::kStamp;
using transport::FailureClass;

namespace {

const QString kD1 = QStringLiteral("d1@docomo.ne.jp");

// The stamps of the log lines whose address (second field) is on domain, as times.
QList<QDateTime> stampsFor(const QStringList& lines, const QString& domain)
{
    QList<QDateTime> out;
    for (const QString& line : lines)
        if (line.section(QLatin1Char(','), -2, -2).endsWith(QLatin1Char('@') + domain))
            out << QDateTime::fromString(line.section(QLatin1Char(','), -1),
                                         QStringLiteral("yy/MM/dd HH:mm:ss"))
                       .addYears(100);
    return out;
}

} // namespace

class TestDeliveryPacing : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { testing_support::verifyNoWindowsLeft(); }

    void addressesGoWhenTheirDomainIsDue_data()
    {
        QTest::addColumn<QByteArray>("pacing"); // the PACING line, or none
        QTest::addColumn<std::optional<transport::SendOutcome>>("firstToD1");
        QTest::addColumn<QList<int>>("advances");   // seconds, one per wait the run shows
        QTest::addColumn<QStringList>("recipients"); // of the list, in the order sent
        QTest::addColumn<QStringList>("waits");      // the captions' ends while waiting
        QTest::addColumn<QStringList>("errorLog");

        const QStringList paced = {kD1,
                                   "a@example.jp",
                                   "b@example.jp",
                                   "c@example.jp",
                                   "d2@docomo.ne.jp",
                                   "d3@docomo.ne.jp"};
        QTest::newRow("no rows: the list's order")
            << QByteArray() << std::optional<transport::SendOutcome>() << QList<int>()
            << QStringList({kD1, "a@example.jp", "d2@docomo.ne.jp", "b@example.jp",
                            "d3@docomo.ne.jp", "c@example.jp"})
            << QStringList() << QStringList();
        QTest::newRow("a minute between two docomo mails")
            << QByteArray("PACING=docomo.ne.jp,60,0") << std::optional<transport::SendOutcome>()
            << QList<int>({60, 60}) << paced
            << QStringList({"4/6　待機中 docomo.ne.jp 01:57まで",
                            "5/6　待機中 docomo.ne.jp 01:58まで"})
            << QStringList();
        // A rule on another domain leaves docomo alone.
        QTest::newRow("a rule for another domain")
            << QByteArray("PACING=*.example.jp,0,0;ezweb.ne.jp,60,0")
            << std::optional<transport::SendOutcome>() << QList<int>()
            << QStringList({kD1, "a@example.jp", "d2@docomo.ne.jp", "b@example.jp",
                            "d3@docomo.ne.jp", "c@example.jp"})
            << QStringList() << QStringList();

        transport::SendOutcome busy = failedSend("421 4.7.0 Try again later");
        busy.replyCode = 421;
        const QString pause = "宛先ドメイン docomo.ne.jp の受け付けが制限されたため、"
                              "02:11まで送信を控えます,," +
                              kStamp;
        // Paused for 15 minutes; the mail goes again first, then the others a minute apart.
        const QStringList throttledOrder = {kD1,
                                            "a@example.jp",
                                            "b@example.jp",
                                            "c@example.jp",
                                            kD1,
                                            "d2@docomo.ne.jp",
                                            "d3@docomo.ne.jp"};
        const QStringList throttledWaits = {"3/6　待機中 docomo.ne.jp 02:11まで",
                                            "4/6　待機中 docomo.ne.jp 02:12まで",
                                            "5/6　待機中 docomo.ne.jp 02:13まで"};
        QTest::newRow("421 pauses the domain")
            << QByteArray("PACING=docomo.ne.jp,60,0") << std::optional(busy)
            << QList<int>({900, 60, 60}) << throttledOrder << throttledWaits
            << QStringList({"421 4.7.0 Try again later," + kD1 + "," + kStamp, pause});
        QTest::newRow("connection reset pauses the domain")
            << QByteArray("PACING=docomo.ne.jp,60,0")
            << std::optional(failedSend("接続がリセットされました", FailureClass::Connection))
            << QList<int>({900, 60, 60}) << throttledOrder << throttledWaits
            << QStringList({"接続がリセットされました," + kD1 + "," + kStamp, pause});
        // Without a rule the same reply is an ordinary failure: nothing waits, nothing repeats.
        QTest::newRow("421 to a domain without a rule")
            << QByteArray("PACING=ezweb.ne.jp,60,0") << std::optional(busy) << QList<int>()
            << QStringList({kD1, "a@example.jp", "d2@docomo.ne.jp", "b@example.jp",
                            "d3@docomo.ne.jp", "c@example.jp"})
            << QStringList() << QStringList({"421 4.7.0 Try again later," + kD1 + "," + kStamp});
    }

    void addressesGoWhenTheirDomainIsDue()
    {
        QFETCH(QByteArray, pacing);
        QFETCH(std::optional<transport::SendOutcome>, firstToD1);
        QFETCH(QList<int>, advances);
        QFETCH(QStringList, recipients);
        QFETCH(QStringList, waits);
        QFETCH(QStringList, errorLog);

        Harness h([](aMain_sMail::SettingsRecord& s) {
            s.SENDLOG = 1;
            s.ERRLOG = 1;
        });
        h.app.write(QStringLiteral("ini/bulk.ini"),
                    bulk_testing::completeBulkIni() + pacing + (pacing.isEmpty() ? "" : "\r\n"));
        if (firstToD1) {
            h.transport->setSendOutcome(kD1, *firstToD1);
            // Only the first mail to it fails; the change applies from the next send on.
            h.transport->holdSend(kD1, [&] {
                h.transport->setSendOutcome(kD1, transport::SendOutcome{true, {}, {}, false});
            });
        }
        // The run's time moves only while it waits, and only by the test's hand.
        QStringList titles;
        QList<int> left = advances;
        connect(h.form.get(), &QWidget::windowTitleChanged, this, [&](const QString& title) {
            titles << title.section(QChar(u'　'), 2);
            if (title.contains(QStringLiteral("待機中")) && !left.isEmpty())
                h.clock->advanceSeconds(left.takeFirst());
        });
        h.fillMessage();
        h.useList("d1@docomo.ne.jp\r\na@example.jp\r\nd2@docomo.ne.jp\r\nb@example.jp\r\n"
                  "d3@docomo.ne.jp\r\nc@example.jp\r\n");
        h.form->SendCommand->click();
        QTRY_VERIFY_WITH_TIMEOUT(h.ended(), kRunTimeout);

        QCOMPARE(h.recipients(), QStringList() << kOperator << recipients << kOperator);
        QStringList shownWaits;
        for (qsizetype i = 0; i < titles.size(); ++i) {
            if (!titles[i].contains(QStringLiteral("待機中")))
                continue;
            shownWaits << titles[i];
            // The next caption, once a mail went, no longer waits.
            QVERIFY(i + 1 < titles.size());
            QVERIFY2(!titles[i + 1].contains(QStringLiteral("待機中")), qPrintable(titles[i + 1]));
        }
        QCOMPARE(shownWaits, waits);
        QVERIFY(left.isEmpty());
        QCOMPARE(h.logLines("log/error.log"), errorLog);

        // Each address was delivered once, in the order sent, and docomo's deliveries are a
        // minute apart or more.
        QStringList delivered = recipients;
        if (firstToD1)
            delivered.removeFirst();
        const QStringList sent = h.logLines("log/send.log");
        QStringList sentTo;
        for (const QString& line : sent)
            sentTo << line.section(QLatin1Char(','), 0, 0);
        QCOMPARE(sentTo, delivered);
        if (!advances.isEmpty()) {
            const QList<QDateTime> docomo = stampsFor(sent, QStringLiteral("docomo.ne.jp"));
            QCOMPARE(docomo.size(), 3);
            for (qsizetype i = 1; i < docomo.size(); ++i)
                QVERIFY2(docomo[i - 1].secsTo(docomo[i]) >= 60,
                         qPrintable(sent.join(QLatin1Char('\n'))));
        }
        // A throttled mail was an attempt that failed, as its journal row says.
        QCOMPARE(h.form->run.ErrCount, errorLog.isEmpty() ? 0 : 1);
    }
};

QTEST_MAIN(TestDeliveryPacing)
#include "test_delivery_pacing.moc"
