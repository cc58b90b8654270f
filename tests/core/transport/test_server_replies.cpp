// What a Japanese server says reaches the error text as the server wrote it, whether it writes
// UTF-8 or Shift_JIS: SMTP replies through the scripted SMTP server, a POP3 greeting through a
// one-line server of the test's own (the scripted POP3 server speaks UTF-8 only).
#include "core/transport/last_error.h"
#include "core/transport/nmail.h"
#include "fake_smtp_server.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <future>
#include <thread>

using testing_support::FakeSmtpServer;
using testing_support::SmtpScript;

namespace {

// "宛先のメールボックスがありません" and "認証に失敗しました" in code page 932, as Python's cp932
// codec writes them.
const QByteArray kNoMailboxSjis = "\x88\xB6\x90\xE6\x82\xCC\x83\x81\x81\x5B\x83\x8B\x83\x7B\x83"
                                  "\x62\x83\x4E\x83\x58\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9"
                                  "\x82\xF1";
const QByteArray kAuthFailedSjis = "\x94\x46\x8F\xD8\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82"
                                   "\xB5\x82\xBD";
const QString kNoMailbox = QStringLiteral("宛先のメールボックスがありません");
const QString kAuthFailed = QStringLiteral("認証に失敗しました");

// Accepts one connection, sends one line of raw bytes, waits for the client to hang up.
class OneLineServer
{
public:
    explicit OneLineServer(const QByteArray& line)
    {
        std::promise<quint16> listening;
        std::future<quint16> port = listening.get_future();
        m_thread = std::thread([line, &listening] {
            QTcpServer server;
            listening.set_value(server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0);
            if (!server.isListening() || !server.waitForNewConnection(10000))
                return;
            QTcpSocket* socket = server.nextPendingConnection();
            socket->write(line + "\r\n");
            socket->waitForBytesWritten(5000);
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->waitForDisconnected(5000);
        });
        m_port = port.get();
    }
    ~OneLineServer() { m_thread.join(); }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }

private:
    std::thread m_thread;
    quint16 m_port = 0;
};

} // namespace

class TestServerReplies : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NMailInitializeWinSock(); }
    void cleanupTestCase() { NMailEndWinSock(); }

    void smtpReplyReachesTheErrorText_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("shown");
        QTest::newRow("Shift_JIS")
            << "550 5.1.1 " + kNoMailboxSjis << QStringLiteral("550 5.1.1 ") + kNoMailbox;
        QTest::newRow("UTF-8") << QByteArray("550 5.1.1 宛先のメールボックスがありません")
                               << QStringLiteral("550 5.1.1 ") + kNoMailbox;
        // Each line is read on its own: read whole, the UTF-8 line would spoil the other.
        QTest::newRow("one line of each")
            << "550-5.1.1 " + kNoMailboxSjis + "\n550 5.1.1 Empfänger unbekannt"
            << QStringLiteral("550-5.1.1 ") + kNoMailbox +
                   QStringLiteral(" 550 5.1.1 Empfänger unbekannt");
        // A NUL does not end the text; it shows as the logs show control characters.
        QTest::newRow("NUL inside") << QByteArray("550 5.1.1 no") + '\0' + "such user"
                                    << QStringLiteral("550 5.1.1 no\\x00such user");
    }

    void smtpReplyReachesTheErrorText()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, shown);
        SmtpScript script;
        script.rejectRecipients["nobody@example.jp"] = reply;
        FakeSmtpServer server(script);
        QCOMPARE(NMailSmtpSendMail(server.address(), QStringLiteral("nobody@example.jp"), nullptr,
                                   nullptr, QStringLiteral("山田<taro@example.jp>"),
                                   QStringLiteral("件名"), QStringLiteral("本文\r\n"), nullptr,
                                   QString(), 1),
                 -1);
        QString text;
        int size = kErrorTextBufferSize;
        NMailGetMessage(0, text, size);
        QVERIFY2(text.contains(shown), qPrintable(text));
    }

    void pop3ReplyReachesTheErrorText_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::newRow("Shift_JIS") << "-ERR " + kAuthFailedSjis;
        QTest::newRow("UTF-8") << QByteArray("-ERR 認証に失敗しました");
    }

    void pop3ReplyReachesTheErrorText()
    {
        QFETCH(QByteArray, greeting);
        OneLineServer server(greeting);
        QCOMPARE(NMailPop3Connect(server.address()), -1);
        const QString text = transport::lastError();
        QVERIFY2(text.contains(QStringLiteral("-ERR ") + kAuthFailed), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestServerReplies)
#include "test_server_replies.moc"
