// POP3 logins against a real Dovecot: the method on the wire is exactly what the APOP setting
// says, as Dovecot's own log and its pre-login rawlog show.
#include "core/transport/last_error.h"
#include "core/transport/nmail.h"
#include "core/transport/pop3_client.h"
#include "servers_env.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

using integration::ServersEnv;

namespace {

// Lines of a rawlog file without their leading time stamps.
QStringList rawlogLines(const QByteArray& bytes)
{
    QStringList lines;
    for (const QByteArray& raw : bytes.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype blank = line.indexOf(QLatin1Char(' '));
        lines << (blank < 0 ? QString() : line.mid(blank + 1));
    }
    return lines;
}

// Trusts the test server's self-signed certificate while it lives (an empty path: nothing).
class TrustTestCertificate
{
public:
    explicit TrustTestCertificate(const QString& path)
    {
        if (!path.isEmpty())
            m_certificates = QSslCertificate::fromPath(path);
        transport::setPop3ExtraCaCertificates(m_certificates);
    }
    ~TrustTestCertificate() { transport::setPop3ExtraCaCertificates({}); }
    bool isValid() const { return !m_certificates.isEmpty(); }

private:
    QList<QSslCertificate> m_certificates;
};

} // namespace

class TestPop3Dovecot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void userPassLogin();
    void apopLogin();
    void wrongPassword_data();
    void wrongPassword();
    void tlsLogin_data();
    void tlsLogin();
    void tlsIsNeverSkipped_data();
    void tlsIsNeverSkipped();

private:
    // One connect / authenticate / close, as the program's POP before SMTP makes it.
    int login(const QString& server, const QString& password, int apop);
    QByteArray newLog() const;
    // The rawlog files (".in" client side, ".out" server side) of sessions since init().
    QStringList newRawlogs(const QString& suffix) const;

    ServersEnv m_env;
    QString m_user;
    QString m_password;
    QString m_log;
    QString m_rawlogDir;
    qint64 m_logOffset = 0;
    QStringList m_rawlogsBefore;
};

void TestPop3Dovecot::initTestCase()
{
    QString errorText;
    if (!m_env.load(&errorText))
        QFAIL(qPrintable(errorText));
    m_user = m_env.value(QStringLiteral("KEZ_POP3_USER"));
    m_password = m_env.value(QStringLiteral("KEZ_POP3_PASSWORD"));
    m_log = m_env.value(QStringLiteral("KEZ_POP3_LOG"));
    m_rawlogDir = m_env.value(QStringLiteral("KEZ_POP3_RAWLOG_DIR"));
    QVERIFY(!m_user.isEmpty() && !m_password.isEmpty());
    QVERIFY2(QDir(m_rawlogDir).exists(), qPrintable(m_rawlogDir));
}

void TestPop3Dovecot::init()
{
    m_logOffset = integration::fileSize(m_log);
    m_rawlogsBefore = integration::filesIn(m_rawlogDir, QStringLiteral("*"));
    transport::setLastError(QString());
}

int TestPop3Dovecot::login(const QString& server, const QString& password, int apop)
{
    const int handle = NMailPop3Connect(server);
    if (handle == -1)
        return -100;
    const int result = NMailPop3Authenticate(handle, m_user, password, apop);
    if (NMailPop3Close(handle) != 0)
        return -200;
    return result;
}

QByteArray TestPop3Dovecot::newLog() const
{
    return integration::tail(m_log, m_logOffset);
}

QStringList TestPop3Dovecot::newRawlogs(const QString& suffix) const
{
    QStringList found;
    for (const QString& name : integration::filesIn(m_rawlogDir, QStringLiteral("*") + suffix)) {
        if (!m_rawlogsBefore.contains(name))
            found << QDir(m_rawlogDir).filePath(name);
    }
    return found;
}

void TestPop3Dovecot::userPassLogin()
{
    QCOMPARE(login(m_env.pop3Server(), m_password, 0), 0);

    const QByteArray expectedLog = "Login: user=<" + m_user.toUtf8() + ">, method=PLAIN";
    QTRY_VERIFY2(newLog().contains(expectedLog), newLog().constData());
    // PLAIN in the log stands for USER/PASS and for AUTH PLAIN alike; the rawlog tells which.
    QTRY_COMPARE(newRawlogs(QStringLiteral(".in")).size(), 1);
    const QString in = newRawlogs(QStringLiteral(".in")).first();
    QTRY_COMPARE(
        rawlogLines(integration::readAll(in)),
        QStringList({QStringLiteral("USER ") + m_user, QStringLiteral("PASS ") + m_password}));
}

void TestPop3Dovecot::apopLogin()
{
    // The program passes -1; any non-zero value means APOP.
    QCOMPARE(login(m_env.pop3Server(), m_password, -1), 0);

    const QByteArray expectedLog = "Login: user=<" + m_user.toUtf8() + ">, method=APOP";
    QTRY_VERIFY2(newLog().contains(expectedLog), newLog().constData());
    QTRY_COMPARE(newRawlogs(QStringLiteral(".in")).size(), 1);
    QTRY_COMPARE(newRawlogs(QStringLiteral(".out")).size(), 1);
    const QStringList out =
        rawlogLines(integration::readAll(newRawlogs(QStringLiteral(".out"))[0]));
    QVERIFY(!out.isEmpty());
    const QString timestamp = transport::apopTimestamp(out.first());
    QVERIFY2(!timestamp.isEmpty(), qPrintable(out.first()));
    QTRY_COMPARE(rawlogLines(integration::readAll(newRawlogs(QStringLiteral(".in"))[0])),
                 QStringList({QStringLiteral("APOP %1 %2")
                                  .arg(m_user, transport::apopDigest(timestamp, m_password))}));
}

void TestPop3Dovecot::wrongPassword_data()
{
    QTest::addColumn<int>("apop");
    QTest::newRow("USER/PASS") << 0;
    QTest::newRow("APOP") << -1;
}

void TestPop3Dovecot::wrongPassword()
{
    QFETCH(int, apop);
    const QString wrong = QStringLiteral("not-the-password");
    QVERIFY(login(m_env.pop3Server(), wrong, apop) < 0);
    const QString error = transport::lastError();
    QVERIFY2(error.contains(QStringLiteral("認証に失敗")), qPrintable(error));
    QVERIFY2(error.contains(QStringLiteral("-ERR [AUTH] Authentication failed.")),
             qPrintable(error));
    QVERIFY(!error.contains(wrong));
    QTRY_VERIFY2(newLog().contains("auth failed"), newLog().constData());
    QVERIFY(!newLog().contains("Login: user="));
    // Still exactly the method asked for.
    QTRY_COMPARE(newRawlogs(QStringLiteral(".in")).size(), 1);
    const QString first =
        rawlogLines(integration::readAll(newRawlogs(QStringLiteral(".in"))[0])).value(0);
    QVERIFY2(first.startsWith(apop ? QStringLiteral("APOP ") : QStringLiteral("USER ")),
             qPrintable(first));
}

void TestPop3Dovecot::tlsLogin_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<int>("apop");
    QTest::addColumn<QByteArray>("method");
    QTest::newRow("pop3s, USER/PASS")
        << "pop3s://localhost:" + m_env.value("KEZ_POP3S_PORT") << 0 << QByteArray("PLAIN");
    QTest::newRow("pop3 with STLS, APOP")
        << "pop3://localhost:" + m_env.value("KEZ_POP3_PORT") << -1 << QByteArray("APOP");
}

void TestPop3Dovecot::tlsLogin()
{
    QFETCH(QString, server);
    QFETCH(int, apop);
    QFETCH(QByteArray, method);
    TrustTestCertificate trust(m_env.value(QStringLiteral("KEZ_POP3_TEST_CA")));
    QVERIFY(trust.isValid());

    QCOMPARE(login(server, m_password, apop), 0);
    const QByteArray expectedLog = "Login: user=<" + m_user.toUtf8() + ">, method=" + method;
    QTRY_VERIFY2(newLog().contains(expectedLog), newLog().constData());
    QVERIFY2(newLog().contains(", TLS, "), newLog().constData());
}

void TestPop3Dovecot::tlsIsNeverSkipped_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("trustTestCertificate");
    QTest::addColumn<QString>("expected");
    const QString plain = m_env.value(QStringLiteral("KEZ_POP3_PORT"));
    const QString tls = m_env.value(QStringLiteral("KEZ_POP3S_PORT"));
    const QString certificate = QStringLiteral("証明書");
    QTest::newRow("pop3s to a plain port") << "pop3s://127.0.0.1:" + plain << true << "TLS";
    QTest::newRow("pop3s, untrusted") << "pop3s://localhost:" + tls << false << certificate;
    QTest::newRow("STLS, untrusted") << "pop3://localhost:" + plain << false << certificate;
    // The certificate names "localhost" only.
    QTest::newRow("pop3s, other host name") << "pop3s://127.0.0.1:" + tls << true << certificate;
    QTest::newRow("STLS, other host name") << "pop3://127.0.0.1:" + plain << true << certificate;
}

void TestPop3Dovecot::tlsIsNeverSkipped()
{
    QFETCH(QString, server);
    QFETCH(bool, trustTestCertificate);
    QFETCH(QString, expected);
    TrustTestCertificate trust(
        trustTestCertificate ? m_env.value(QStringLiteral("KEZ_POP3_TEST_CA")) : QString());
    const auto previous = transport::setPop3Timeouts({5000, 5000});
    const int handle = NMailPop3Connect(server);
    transport::setPop3Timeouts(previous);
    QCOMPARE(handle, -1);
    QVERIFY2(transport::lastError().contains(expected), qPrintable(transport::lastError()));

    // Dovecot logs the end of every session; only after it is "no login" a fact.
    QTRY_VERIFY2(newLog().contains("Disconnected"), newLog().constData());
    QVERIFY(!newLog().contains("Login: user="));
    for (const QString& in : newRawlogs(QStringLiteral(".in"))) {
        for (const QString& line : rawlogLines(integration::readAll(in)))
            QVERIFY2(!line.startsWith(QLatin1String("USER")) &&
                         !line.startsWith(QLatin1String("APOP")) &&
                         !line.startsWith(QLatin1String("AUTH")),
                     qPrintable(line));
    }
}

QTEST_GUILESS_MAIN(TestPop3Dovecot)
#include "test_pop3_dovecot.moc"
