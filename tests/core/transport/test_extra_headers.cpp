// The send call's header slot: what it lets into a mail and what it refuses before anything is
// composed or sent. Where the fields land is read back by Python (test_bulk_mail).
#include "core/transport/extra_headers.h"
#include "core/transport/nmail.h"

#include <QTest>

class TestExtraHeaders : public QObject
{
    Q_OBJECT

private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void refusedHeaderFailsTheSendBeforeAnyConnection();
};

void TestExtraHeaders::accepted_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<QByteArray>>("fields");
    QTest::newRow("none") << QString() << QList<QByteArray>();
    QTest::newRow("two fields, one folded")
        << QStringLiteral(
               "List-Unsubscribe: <https://a.jp/x>,\r\n <mailto:s@a.jp>\r\nPrecedence: bulk")
        << QList<QByteArray>{"List-Unsubscribe: <https://a.jp/x>,\r\n <mailto:s@a.jp>",
                             "Precedence: bulk"};
    QTest::newRow("tab continuation, empty value")
        << QStringLiteral("X-A:\r\n\tcontinued\r\nX-B:")
        << QList<QByteArray>{"X-A:\r\n\tcontinued", "X-B:"};
}

void TestExtraHeaders::accepted()
{
    QFETCH(QString, text);
    QFETCH(QList<QByteArray>, fields);
    QString error;
    const std::optional<QList<QByteArray>> parsed = transport::parseExtraHeaders(text, &error);
    QVERIFY2(parsed, qPrintable(error));
    QCOMPARE(*parsed, fields);
}

void TestExtraHeaders::refused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("messagePart");
    QTest::newRow("a blank line would start the body")
        << QStringLiteral("Precedence: bulk\r\n\r\nInjected body") << QStringLiteral("形");
    QTest::newRow("a bare LF") << QStringLiteral("X-A: 1\nBcc: victim@example.jp")
                               << QStringLiteral("X-A");
    QTest::newRow("a bare CR") << QStringLiteral("X-A: 1\rX-B: 2") << QStringLiteral("X-A");
    QTest::newRow("no name") << QStringLiteral(": value") << QStringLiteral("形");
    QTest::newRow("no colon") << QStringLiteral("Precedence bulk") << QStringLiteral("形");
    QTest::newRow("first line a continuation") << QStringLiteral(" X-A: 1") << QStringLiteral("形");
    QTest::newRow("a second Subject")
        << QStringLiteral("subject: other") << QStringLiteral("subject");
    QTest::newRow("a forged signature")
        << QStringLiteral("DKIM-Signature: v=1") << QStringLiteral("DKIM-Signature");
    QTest::newRow("non-ASCII") << QStringLiteral("X-Note: 配信") << QStringLiteral("X-Note");
    QTest::newRow("line over 998 octets")
        << QStringLiteral("List-Unsubscribe: <https://a.jp/%1>").arg(QString(990, QLatin1Char('x')))
        << QStringLiteral("998");
}

void TestExtraHeaders::refused()
{
    QFETCH(QString, text);
    QFETCH(QString, messagePart);
    QString error;
    QVERIFY(!transport::parseExtraHeaders(text, &error));
    QVERIFY2(error.contains(messagePart), qPrintable(error));
}

void TestExtraHeaders::refusedHeaderFailsTheSendBeforeAnyConnection()
{
    NMailInitializeWinSock();
    // Port 9 on loopback: were anything sent, the failure would name the connection instead.
    const QString header = QStringLiteral("Precedence: bulk\r\n\r\nInjected");
    const int result = NMailSmtpSendMail(
        QStringLiteral("127.0.0.1:9"), QStringLiteral("to@example.jp"), nullptr, nullptr,
        QStringLiteral("差出人<from@example.jp>"), QStringLiteral("件名"),
        QStringLiteral("本文\r\n"), &header, QString(), 1);
    QVERIFY(result < 0);
    QString text;
    int size = kErrorTextBufferSize;
    NMailGetMessage(0, text, size);
    QVERIFY2(text.contains(QStringLiteral("追加ヘッダー")), qPrintable(text));
    QCOMPARE(NMailGetFailureClass(), transport::FailureClass::Local);
    NMailEndWinSock();
}

QTEST_GUILESS_MAIN(TestExtraHeaders)
#include "test_extra_headers.moc"
