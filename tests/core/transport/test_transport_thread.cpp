// The transport's own thread, and the program's MailTransport on the NMail entry points, against
// the scripted servers.
#include "core/transport/nmail.h"
#include "core/transport/nmail_transport.h"
#include "core/transport/transport_thread.h"
#include "fake_pop3_server.h"
#include "fake_smtp_server.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <mutex>
#include <thread>

using testing_support::FakePop3Server;
using testing_support::FakeSmtpServer;
using testing_support::Pop3Script;
using testing_support::SmtpScript;
using transport::FailureClass;
using transport::LoginOutcome;
using transport::MailRequest;
using transport::MailTransport;
using transport::NMailTransport;
using transport::SendOutcome;
using transport::TransportThread;

namespace {

// Notes which thread made it, used it and destroyed it.
struct ThreadProbe
{
    std::mutex mutex;
    QThread* made = nullptr;
    QList<QThread*> used;
    QThread* destroyed = nullptr;
    QStringList order;
};

class ProbeTransport final : public MailTransport
{
public:
    explicit ProbeTransport(ThreadProbe* probe) : m_probe(probe)
    {
        std::lock_guard lock(m_probe->mutex);
        m_probe->made = QThread::currentThread();
    }
    ~ProbeTransport() override
    {
        std::lock_guard lock(m_probe->mutex);
        m_probe->destroyed = QThread::currentThread();
        m_probe->order << "destroyed";
    }
    SendOutcome send(const MailRequest& mail) override
    {
        note("send " + mail.to);
        return {true, {}, FailureClass::None, false};
    }
    LoginOutcome pop3Login(const transport::Pop3Request& login) override
    {
        note("login " + login.user);
        return {true, {}};
    }
    void closeSession() override { note("close"); }

private:
    void note(const QString& what)
    {
        std::lock_guard lock(m_probe->mutex);
        m_probe->used << QThread::currentThread();
        m_probe->order << what;
    }
    ThreadProbe* m_probe;
};

TransportThread::Job slowSend(const QString& to, int ms)
{
    return [to, ms](MailTransport& t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        MailRequest mail;
        mail.to = to;
        t.send(mail);
    };
}

MailRequest mailTo(const QString& server, const QString& to)
{
    MailRequest mail;
    mail.server = server;
    mail.to = to;
    mail.from = QStringLiteral("山田太郎<taro@example.jp>");
    mail.subject = QStringLiteral("件名");
    mail.body = QStringLiteral("本文です。\r\n");
    return mail;
}

} // namespace

class TestTransportThread : public QObject
{
    Q_OBJECT
private slots:
    void onePrivateThreadInOrderForTheWholeLife()
    {
        ThreadProbe probe;
        {
            TransportThread thread([&probe] { return std::make_shared<ProbeTransport>(&probe); });
            QList<quint64> finished;
            connect(&thread, &TransportThread::finished, this,
                    [&finished](quint64 ticket) { finished << ticket; });
            const quint64 first = thread.post(slowSend("a@example.jp", 30));
            const quint64 second = thread.post([](MailTransport& t) {
                transport::Pop3Request login;
                login.user = "user";
                t.pop3Login(login);
            });
            const quint64 third = thread.post(slowSend("b@example.jp", 0));
            thread.wait(third);
            QVERIFY(thread.isFinished(first) && thread.isFinished(second));
            QCOMPARE(finished, QList<quint64>({first, second, third}));
            // Handed in, not yet run: the thread's end lets it run before the transport goes.
            thread.post(slowSend("c@example.jp", 50));
        }
        QCOMPARE(probe.order, QStringList({"send a@example.jp", "login user", "send b@example.jp",
                                           "send c@example.jp", "destroyed"}));
        QVERIFY(probe.made != nullptr);
        QVERIFY(probe.made != QThread::currentThread());
        for (QThread* used : probe.used)
            QCOMPARE(used, probe.made);
        QCOMPARE(probe.destroyed, probe.made);
    }

    void waitingKeepsTheCallersEventsFlowing()
    {
        ThreadProbe probe;
        TransportThread thread([&probe] { return std::make_shared<ProbeTransport>(&probe); });
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
        timer.start(10);
        QElapsedTimer clock;
        clock.start();
        const bool result = thread.run<bool>([](MailTransport& t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            MailRequest mail;
            mail.to = "slow@example.jp";
            return t.send(mail).ok;
        });
        QVERIFY(result);
        QVERIFY(clock.elapsed() >= 290);
        // A 10 ms timer of the waiting thread kept ticking through the 300 ms job.
        QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
    }

    void nmailTransportSendsAndReportsThroughTheThread()
    {
        FakeSmtpServer server;
        SmtpScript script;
        script.rejectRecipients["nobody@example.jp"] = "550 5.1.1 <nobody@example.jp> unknown";
        server.setScript(script);
        TransportThread thread([] { return std::make_shared<NMailTransport>(); });
        auto send = [&thread](const MailRequest& mail) {
            return thread.run<SendOutcome>([mail](MailTransport& t) { return t.send(mail); });
        };

        const SendOutcome ok = send(mailTo(server.address(), "a@example.jp"));
        QVERIFY2(ok.ok, qPrintable(ok.errorText));
        QVERIFY(ok.errorText.isEmpty());
        QCOMPARE(ok.failure, FailureClass::None);

        const SendOutcome refused = send(mailTo(server.address(), "nobody@example.jp"));
        QVERIFY(!refused.ok);
        QVERIFY2(refused.errorText.contains("550 5.1.1 <nobody@example.jp> unknown"),
                 qPrintable(refused.errorText));
        QVERIFY(!refused.errorText.contains(QChar(u'\0')));
        QCOMPARE(refused.failure, FailureClass::Transaction);
        QVERIFY(!refused.mayHaveArrived);

        // Refused before any connection: the class says so.
        const SendOutcome local = send(mailTo(server.address(), "no address"));
        QVERIFY(!local.ok);
        QVERIFY(!local.errorText.isEmpty());
        QCOMPARE(local.failure, FailureClass::Local);

        // One connection carried both mails the server saw: the thread kept it.
        QCOMPARE(server.acceptedMessages().size(), 1);
        QCOMPARE(server.connectionCount(), 1);
    }

    void nmailTransportCutsTheErrorTextToItsBuffer()
    {
        FakeSmtpServer server;
        SmtpScript script;
        script.rejectRecipients["long@example.jp"] = "550 " + QByteArray(9000, 'x');
        server.setScript(script);
        TransportThread thread([] { return std::make_shared<NMailTransport>(); });
        const MailRequest mail = mailTo(server.address(), "long@example.jp");
        const SendOutcome outcome =
            thread.run<SendOutcome>([mail](MailTransport& t) { return t.send(mail); });
        QVERIFY(!outcome.ok);
        // The buffer holds kErrorTextBufferSize characters, the last of them the NUL.
        QCOMPARE(outcome.errorText.size(), qsizetype(kErrorTextBufferSize - 1));
        QVERIFY(outcome.errorText.endsWith("xxxx"));
    }

    void nmailTransportLogsIn()
    {
        FakePop3Server server;
        Pop3Script script;
        script.user = "alice";
        script.password = "secret";
        script.apopTimestamp = "<1896.697170952@dbc.mtview.ca.us>";
        server.setScript(script);
        TransportThread thread([] { return std::make_shared<NMailTransport>(); });
        auto login = [&thread](const QString& server, const QString& password, bool apop) {
            transport::Pop3Request request{server, "alice", password, apop};
            return thread.run<LoginOutcome>(
                [request](MailTransport& t) { return t.pop3Login(request); });
        };

        const LoginOutcome plain = login(server.address(), "secret", false);
        QVERIFY2(plain.ok, qPrintable(plain.errorText));
        const LoginOutcome apop = login(server.address(), "secret", true);
        QVERIFY2(apop.ok, qPrintable(apop.errorText));
        QVERIFY(server.waitForQuits(2));
        QCOMPARE(server.loginCount(), 2);
        QCOMPARE(server.clientLines().first(), QString("USER alice"));
        QVERIFY(server.clientLines().at(3).startsWith("APOP alice "));

        // A refused password still closes the session; the outcome says why.
        const LoginOutcome wrong = login(server.address(), "wrong", false);
        QVERIFY(!wrong.ok);
        QVERIFY2(wrong.errorText.contains("-ERR"), qPrintable(wrong.errorText));
        QVERIFY(!wrong.errorText.contains("wrong"));
        QVERIFY(server.waitForQuits(3));

        // Nothing listens: connect fails, nothing else is tried.
        const quint16 dead = FakePop3Server::unusedPort();
        const LoginOutcome refused = login(QString("127.0.0.1:%1").arg(dead), "secret", false);
        QVERIFY(!refused.ok);
        QVERIFY2(refused.errorText.contains(QString::number(dead)), qPrintable(refused.errorText));
    }

    void factoryInstallsAndRestores()
    {
        ThreadProbe probe;
        auto previous = transport::setTransportFactory(
            [&probe] { return std::make_shared<ProbeTransport>(&probe); });
        {
            TransportThread thread; // takes the factory in use
            thread.wait(thread.post([](MailTransport& t) { t.closeSession(); }));
        }
        QCOMPARE(probe.order, QStringList({"close", "destroyed"}));
        transport::setTransportFactory(previous);
        // An empty factory puts the program's own back: an NMailTransport, which refuses a
        // server value that names no server with a text of its own.
        transport::setTransportFactory({});
        TransportThread thread;
        const SendOutcome outcome = thread.run<SendOutcome>(
            [](MailTransport& t) { return t.send(mailTo(QString(), "a@example.jp")); });
        QVERIFY(!outcome.ok);
        QVERIFY(!outcome.errorText.isEmpty());
        QCOMPARE(probe.order.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestTransportThread)
#include "test_transport_thread.moc"
