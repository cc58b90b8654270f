// What the SMTP transport does when the server stops answering, answers late or goes away:
// a connection that timed out or fell out of step is never used again, a tarpit costs one
// time-out, and a mail whose content was handed over is never sent twice and is reported as
// one that may have arrived.
#include "core/transport/nmail.h"
#include "core/transport/smtp_sender.h"
#include "fake_smtp_server.h"
#include "smtp_calls.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

using testing_support::FakeSmtpServer;
using testing_support::SmtpScript;

Q_DECLARE_METATYPE(SmtpScript)
Q_DECLARE_METATYPE(transport::FailureClass)

namespace {

const QString kMayHaveArrived = QStringLiteral("届いている可能性があります");

int send(const FakeSmtpServer& server, const QString& to, const QString& attachments = QString())
{
    return smtp_calls::send(server.address(), to, smtp_calls::kFrom, attachments);
}

using smtp_calls::errorText;

// Replies wait this long before the client gives up on them. libcurl notices a time-out up to
// a second late, so "one time-out" is measured as less than one and a half.
constexpr int kTimeOutSeconds = 3;
constexpr qint64 kTimeOutMs = kTimeOutSeconds * 1000;

void useShortTimeOuts()
{
    transport::setSmtpTimeouts(
        {std::chrono::milliseconds(kTimeOutMs), 1024, std::chrono::seconds(kTimeOutSeconds)});
}

// "C: ..." lines the server heard on one connection, in order.
QStringList linesOfConnection(const FakeSmtpServer& server, int connection)
{
    QStringList out;
    int current = 0;
    // Connections of these tests never overlap, so each "* connect N" starts a new stretch.
    for (const QString& entry : server.transcript()) {
        if (entry.startsWith(QLatin1String("* connect ")))
            current = entry.mid(10).toInt();
        else if (current == connection && entry.startsWith(QLatin1String("C: ")))
            out << entry.mid(3);
    }
    return out;
}

} // namespace

class TestSmtpFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NMailInitializeWinSock(); }
    void init() { useShortTimeOuts(); }
    void cleanup()
    {
        NMailEndWinSock();
        NMailInitializeWinSock();
        transport::setSmtpTimeouts({});
    }

    // --- A connection that timed out or fell out of step is never used again ------------

    void silenceAfterTheContentMovesTheNextMailToANewConnection()
    {
        SmtpScript script;
        script.silentFrom = ".";
        FakeSmtpServer server(script);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(send(server, QStringLiteral("a@example.jp")), -1);
        QVERIFY2(errorText().contains(kMayHaveArrived), qPrintable(errorText()));
        QVERIFY(NMailGetMayHaveArrived());
        QCOMPARE(NMailGetFailureClass(), transport::FailureClass::Connection);

        // The server takes new connections; only the old one is dead.
        server.setScript(SmtpScript());
        QCOMPARE(send(server, QStringLiteral("b@example.jp")), 0);
        QVERIFY2(timer.elapsed() < 2 * kTimeOutMs, qPrintable(QString::number(timer.elapsed())));
        const auto accepted = server.acceptedMessages();
        QCOMPARE(accepted.size(), 1);
        QCOMPARE(accepted.first().recipients, QList<QByteArray>{"b@example.jp"});
        QCOMPARE(accepted.first().connection, 2);
        QCOMPARE(linesOfConnection(server, 1).count(QStringLiteral("DATA")), 1);
    }

    void aLateReplyNeverShiftsTheReplies()
    {
        SmtpScript script;
        script.dataEndDelayMs = int(kTimeOutMs) + 700;
        script.rejectRecipients["nobody@example.jp"] = "550 5.1.1 <nobody@example.jp>: unknown";
        FakeSmtpServer server(script);
        QCOMPARE(send(server, QStringLiteral("a@example.jp")), -1);
        QVERIFY2(errorText().contains(kMayHaveArrived), qPrintable(errorText()));

        // The "250" for the first mail comes while the second is under way. Read as the reply
        // to the next command, it would make every reply after it answer the wrong command:
        // the refused recipient would pass and the refusal land on DATA.
        script.dataEndDelayMs = 0;
        server.setScript(script);
        QCOMPARE(send(server, QStringLiteral("nobody@example.jp")), -1);
        QVERIFY2(errorText().contains(QStringLiteral("宛先アドレスが拒否されました: 550 5.1.1")),
                 qPrintable(errorText()));
        QCOMPARE(NMailGetFailureClass(), transport::FailureClass::Transaction);
        QVERIFY(!NMailGetMayHaveArrived());
        QCOMPARE(send(server, QStringLiteral("c@example.jp")), 0);

        const auto messages = server.messages();
        QCOMPARE(messages.size(), 2); // the first (stored late) and the third
        QCOMPARE(messages.at(1).recipients, QList<QByteArray>{"c@example.jp"});
        QVERIFY(messages.at(1).accepted);
        // The first connection carried the first mail and nothing after it.
        QCOMPARE(linesOfConnection(server, 1).count(QStringLiteral("DATA")), 1);
        QVERIFY(messages.at(1).connection > 1);
    }

    // A silent server at MAIL, on a fresh and on a kept connection: one time-out, no second
    // wait for the reply to QUIT, no second connection.
    void aTarpitCostsOneTimeOut_data()
    {
        QTest::addColumn<bool>("kept");
        QTest::newRow("fresh connection") << false;
        QTest::newRow("kept connection") << true;
    }

    void aTarpitCostsOneTimeOut()
    {
        QFETCH(bool, kept);
        FakeSmtpServer server;
        if (kept)
            QCOMPARE(send(server, QStringLiteral("a@example.jp")), 0);
        SmtpScript script;
        script.silentFrom = "MAIL";
        server.setScript(script);
        const int connectionsBefore = server.connectionCount();
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(send(server, QStringLiteral("b@example.jp")), -1);
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(elapsed >= kTimeOutMs - 100, qPrintable(QString::number(elapsed)));
        QVERIFY2(elapsed < 2 * kTimeOutMs - 1000, qPrintable(QString::number(elapsed)));
        QVERIFY2(errorText().contains(QStringLiteral("タイムアウト")), qPrintable(errorText()));
        QVERIFY(!errorText().contains(kMayHaveArrived));
        QCOMPARE(NMailGetFailureClass(), transport::FailureClass::Connection);
        QVERIFY(!NMailGetMayHaveArrived());
        QCOMPARE(server.connectionCount(), kept ? connectionsBefore : 1);
        // The dead connection is let go of at once.
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 1000);
    }

    // The end of a run says goodbye to the server, but a server that no longer answers may
    // not hold it for a time-out.
    void closingASilentConnectionDoesNotWaitForTheReplyToQuit()
    {
        transport::setSmtpTimeouts(
            {std::chrono::milliseconds(30000), 1024, std::chrono::seconds(30)});
        FakeSmtpServer server;
        QCOMPARE(send(server, QStringLiteral("a@example.jp")), 0);
        SmtpScript script;
        script.silentFrom = "QUIT";
        server.setScript(script);
        QElapsedTimer timer;
        timer.start();
        NMailEndWinSock();
        QVERIFY2(timer.elapsed() < 6000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(server.clientLines().contains(QStringLiteral("QUIT")));
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 1000);
    }

    // The check for a reply nobody asked for must not cost a healthy connection its reuse,
    // with TLS records in the stream either.
    void aHealthyConnectionIsStillReused_data()
    {
        QTest::addColumn<bool>("implicitTls");
        QTest::addColumn<bool>("startTls");
        QTest::newRow("plain") << false << false;
        QTest::newRow("TLS from the start") << true << false;
        QTest::newRow("STARTTLS") << false << true;
    }

    void aHealthyConnectionIsStillReused()
    {
        QFETCH(bool, implicitTls);
        QFETCH(bool, startTls);
        SmtpScript script;
        script.implicitTls = implicitTls;
        script.offerStartTls = startTls;
        FakeSmtpServer server(script);
        transport::setSmtpExtraCaFile(server.certificatePath());
        const QString value = QStringLiteral("%1localhost:%2")
                                  .arg(implicitTls ? QStringLiteral("smtps://")
                                       : startTls  ? QStringLiteral("smtp://")
                                                   : QString())
                                  .arg(server.port());
        for (const char* to : {"a@example.jp", "b@example.jp", "c@example.jp"})
            QCOMPARE(smtp_calls::send(value, QString::fromLatin1(to)), 0);
        transport::setSmtpExtraCaFile(QString());
        QCOMPARE(server.acceptedMessages().size(), 3);
        QCOMPARE(server.connectionCount(), 1);
    }

    // --- A mail whose content was handed over is never sent twice -----------------------

    void aDropDuringTheContentOnAKeptConnectionIsNotSentAgain()
    {
        QTemporaryDir dir;
        const QString attachment = dir.filePath(QStringLiteral("資料.bin"));
        QFile file(attachment);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray bytes(8 * 1024, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7 + 3);
        file.write(bytes);
        file.close();

        SmtpScript script;
        // Past the whole of a small mail, well inside the one with the attachment.
        script.dropDuringDataAfterBytes = 4000;
        FakeSmtpServer server(script);
        QCOMPARE(send(server, QStringLiteral("a@example.jp")), 0);
        QCOMPARE(send(server, QStringLiteral("b@example.jp"), attachment), -1);
        QVERIFY2(errorText().contains(QStringLiteral("接続が切れました")), qPrintable(errorText()));
        QVERIFY2(errorText().contains(kMayHaveArrived), qPrintable(errorText()));
        QVERIFY(NMailGetMayHaveArrived());
        QCOMPARE(NMailGetFailureClass(), transport::FailureClass::Connection);
        QCOMPARE(server.clientLines().count(QStringLiteral("DATA")), 2);
        QCOMPARE(server.connectionCount(), 1);
        QCOMPARE(server.acceptedMessages().size(), 1);
    }

    // --- The class of every failure, and whether the mail may have arrived -------------

    void failureClassAndArrival_data()
    {
        QTest::addColumn<SmtpScript>("script");
        QTest::addColumn<QString>("text");
        QTest::addColumn<transport::FailureClass>("failure");
        QTest::addColumn<bool>("mayHaveArrived");
        using enum transport::FailureClass;
        const auto with = [](auto change) {
            SmtpScript script;
            change(script);
            return script;
        };
        QTest::newRow("no greeting") << with([](SmtpScript& s) { s.silentFrom = "CONNECT"; })
                                     << QStringLiteral("応答がありません") << Connection << false;
        QTest::newRow("greeting refused")
            << with([](SmtpScript& s) { s.greeting = "554 5.3.2 No service"; })
            << QStringLiteral("554 5.3.2") << Connection << false;
        QTest::newRow("silent at EHLO") << with([](SmtpScript& s) { s.silentFrom = "EHLO"; })
                                        << QStringLiteral("タイムアウト") << Connection << false;
        QTest::newRow("421 at MAIL")
            << with([](SmtpScript& s) { s.mailReply = "421 4.7.0 Try again later"; })
            << QStringLiteral("421 4.7.0") << Connection << false;
        QTest::newRow("421 at RCPT")
            << with([](SmtpScript& s) { s.rcptReply = "421 4.7.0 Closing"; })
            << QStringLiteral("421 4.7.0") << Connection << false;
        QTest::newRow("dropped at MAIL")
            << with([](SmtpScript& s) { s.dropAtTransaction = 1; })
            << QStringLiteral("接続が切れました") << Connection << false;
        QTest::newRow("silent at DATA") << with([](SmtpScript& s) { s.silentFrom = "DATA"; })
                                        << QStringLiteral("タイムアウト") << Connection << false;
        QTest::newRow("silent after the content") << with([](SmtpScript& s) { s.silentFrom = "."; })
                                                  << kMayHaveArrived << Connection << true;
        QTest::newRow("dropped in the content")
            << with([](SmtpScript& s) { s.dropDuringDataAfterBytes = 30; }) << kMayHaveArrived
            << Connection << true;
        QTest::newRow("5xx to MAIL")
            << with([](SmtpScript& s) { s.mailReply = "553 5.1.8 Sender rejected"; })
            << QStringLiteral("553 5.1.8") << Transaction << false;
        QTest::newRow("4xx to RCPT")
            << with([](SmtpScript& s) { s.rcptReply = "452 4.2.2 Mailbox full"; })
            << QStringLiteral("452 4.2.2") << Transaction << false;
        QTest::newRow("5xx to DATA")
            << with([](SmtpScript& s) { s.dataReply = "554 5.5.1 No valid recipients"; })
            << QStringLiteral("554 5.5.1") << Transaction << false;
        QTest::newRow("4xx to the content")
            << with([](SmtpScript& s) { s.dataEndReply = "451 4.3.0 Queue full"; })
            << QStringLiteral("451 4.3.0") << Transaction << false;
    }

    void failureClassAndArrival()
    {
        QFETCH(SmtpScript, script);
        QFETCH(QString, text);
        FakeSmtpServer server(script);
        QCOMPARE(send(server, QStringLiteral("a@example.jp")), -1);
        QVERIFY2(errorText().contains(text), qPrintable(errorText()));
        QTEST(NMailGetFailureClass(), "failure");
        QTEST(NMailGetMayHaveArrived(), "mayHaveArrived");
        QFETCH(bool, mayHaveArrived);
        QCOMPARE(errorText().contains(kMayHaveArrived), mayHaveArrived);
    }

    void refusedConnectionIsAConnectionFailure()
    {
        const quint16 port = FakeSmtpServer::unusedPort();
        QCOMPARE(smtp_calls::send(QStringLiteral("127.0.0.1:%1").arg(port),
                                  QStringLiteral("a@example.jp")),
                 -1);
        QCOMPARE(NMailGetFailureClass(), transport::FailureClass::Connection);
        QVERIFY(!NMailGetMayHaveArrived());
    }
};

QTEST_GUILESS_MAIN(TestSmtpFaults)
#include "test_smtp_faults.moc"
