// DKIM keys: which are taken and why others are refused, and the DNS record the operator
// publishes. Signatures are verified with dkimpy on mails the SMTP sink stored
// (tests/integration/test_bulk_mail.cpp).
#include "bulk_test_tools.h"
#include "core/bulk/bulk_run.h"
#include "core/bulk/dkim_signer.h"
#include "fakes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using bulk_testing::makeKey;
using bulk_testing::run;
using testing_support::TempAppDir;

class TestDkimSigner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keys_data();
    void keys();
    void dnsChecks_data();
    void dnsChecks();
    void alignment_data();
    void alignment();
    void unsubscribeHeadersAreSigned();

private:
    QTemporaryDir m_dir;
    QString m_rsa;
    QString m_ed25519;
};

void TestDkimSigner::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_rsa = makeKey(m_dir.path(), QStringLiteral("rsa:2048"));
    m_ed25519 = makeKey(m_dir.path(), QStringLiteral("ed25519"));
    QVERIFY(!m_rsa.isEmpty() && !m_ed25519.isEmpty());
}

void TestDkimSigner::keys_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("refusal"); // empty: taken
    QTest::addColumn<QString>("record");  // the k= of the record, when taken

    auto file = [this](const QString& name, const QByteArray& bytes) {
        QFile out(m_dir.filePath(name));
        out.open(QIODevice::WriteOnly);
        out.write(bytes);
        return out.fileName();
    };
    // openssl COMMAND -out PATH ARGS...
    auto openssl = [this](const QString& name, QStringList args) {
        const QString path = m_dir.filePath(name);
        args.insert(1, QStringLiteral("-out"));
        args.insert(2, path);
        return run(QStringLiteral("openssl"), args) ? path : QString();
    };

    QTest::newRow("RSA 2048, PKCS#8") << m_rsa << QString() << "rsa";
    QTest::newRow("RSA 3072, traditional PEM")
        << openssl(
               QStringLiteral("rsa3072.pem"),
               {QStringLiteral("genrsa"), QStringLiteral("-traditional"), QStringLiteral("3072")})
        << QString() << "rsa";
    QTest::newRow("Ed25519") << m_ed25519 << QString() << "ed25519";
    QTest::newRow("RSA 1024: too short") << makeKey(m_dir.path(), QStringLiteral("rsa:1024"))
                                         << QStringLiteral("1024ビット") << QString();
    QTest::newRow("ECDSA P-256: not a DKIM key type")
        << makeKey(m_dir.path(), QStringLiteral("ec")) << QStringLiteral("Ed25519") << QString();
    QTest::newRow("passphrase") << openssl(QStringLiteral("encrypted.pem"),
                                           {QStringLiteral("genpkey"), QStringLiteral("-algorithm"),
                                            QStringLiteral("RSA"), QStringLiteral("-aes256"),
                                            QStringLiteral("-pass"), QStringLiteral("pass:kez")})
                                << QStringLiteral("パスフレーズ") << QString();
    QTest::newRow("the public half")
        << openssl(QStringLiteral("public.pem"), {QStringLiteral("pkey"), QStringLiteral("-in"),
                                                  m_rsa, QStringLiteral("-pubout")})
        << QStringLiteral("公開鍵のファイル") << QString();
    QFile rsa(m_rsa);
    rsa.open(QIODevice::ReadOnly);
    QByteArray damaged = rsa.readAll();
    damaged[damaged.size() / 2] = '!';
    QTest::newRow("damaged PEM") << file(QStringLiteral("damaged.pem"), damaged)
                                 << QStringLiteral("秘密鍵として読めません") << QString();
    QTest::newRow("not PEM") << file(QStringLiteral("key.txt"), "hello")
                             << QStringLiteral("PEM形式") << QString();
    QTest::newRow("missing") << m_dir.filePath(QStringLiteral("none.pem"))
                             << QStringLiteral("No such file") << QString();
}

void TestDkimSigner::keys()
{
    QFETCH(QString, path);
    QFETCH(QString, refusal);
    QFETCH(QString, record);
    QVERIFY(!path.isEmpty());
    QString error;
    const std::optional<bulk::DkimKey> key = bulk::ReadDkimKey(path, &error);
    if (!refusal.isEmpty()) {
        QVERIFY(!key);
        // The file and the reason, each on a line of its own.
        const QStringList lines = error.split(QLatin1Char('\n'));
        QVERIFY2(lines.size() == 3 && lines.at(1) == QDir::toNativeSeparators(path),
                 qPrintable(error));
        QVERIFY2(lines.at(2).contains(refusal), qPrintable(error));
        // The start of a run refuses it the same way.
        QString startError;
        QVERIFY(!bulk::DkimSigner::create(QStringLiteral("example.jp"), QStringLiteral("kez"), path,
                                          &startError));
        QCOMPARE(startError, error);
        return;
    }
    QVERIFY2(key, qPrintable(error));
    const bool ed25519 = record == QLatin1String("ed25519");
    QCOMPARE(key->algorithm, ed25519 ? bulk::DkimAlgorithm::Ed25519 : bulk::DkimAlgorithm::Rsa);
    // What the operator publishes is what the openssl command derives from the key.
    QCOMPARE(bulk::DnsRecordValue(*key),
             QStringLiteral("v=DKIM1; k=%1; p=%2")
                 .arg(record, QString::fromLatin1(bulk_testing::opensslPublicKey(path, ed25519))));
    QCOMPARE(bulk::DnsRecordName(QStringLiteral("kez2025"), QStringLiteral("example.jp")),
             QStringLiteral("kez2025._domainkey.example.jp"));
}

void TestDkimSigner::dnsChecks_data()
{
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("selector");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("ordinary") << "mail.example.co.jp"
                              << "kez-2025.a" << QString();
    QTest::newRow("punycode domain") << "xn--r8jz45g.jp"
                                     << "s1" << QString();
    QTest::newRow("domain without a dot") << "localhost"
                                          << "s1"
                                          << "署名ドメイン";
    QTest::newRow("Japanese domain") << "例え.jp"
                                     << "s1"
                                     << "署名ドメイン";
    QTest::newRow("domain with a blank") << "example .jp"
                                         << "s1"
                                         << "署名ドメイン";
    QTest::newRow("selector with an underscore") << "example.jp"
                                                 << "kez_1"
                                                 << "セレクター";
    QTest::newRow("selector starting with a hyphen") << "example.jp"
                                                     << "-kez"
                                                     << "セレクター";
}

void TestDkimSigner::dnsChecks()
{
    QFETCH(QString, domain);
    QFETCH(QString, selector);
    QFETCH(QString, refusal);
    QString error;
    const bool taken = bool(bulk::DkimSigner::create(domain, selector, m_rsa, &error));
    QCOMPARE(taken, refusal.isEmpty());
    if (!taken)
        QVERIFY2(error.contains(refusal), qPrintable(error));
}

void TestDkimSigner::alignment_data()
{
    QTest::addColumn<QString>("domain"); // d=
    QTest::addColumn<QString>("mail");   // the settings' MAIL
    QTest::addColumn<bool>("aligned");
    QTest::newRow("the same") << "example.jp"
                              << "kez@example.jp" << true;
    QTest::newRow("a parent") << "example.jp"
                              << "kez@news.example.jp" << true;
    QTest::newRow("case differs") << "Example.JP"
                                  << "kez@NEWS.example.jp" << true;
    QTest::newRow("a Japanese domain and its xn-- form") << "xn--r8jz45g.jp"
                                                         << "kez@例え.jp" << true;
    QTest::newRow("another domain") << "example.com"
                                    << "kez@example.jp" << false;
    QTest::newRow("only the same ending") << "example.jp"
                                          << "kez@badexample.jp" << false;
    QTest::newRow("a child of the sender's domain") << "news.example.jp"
                                                    << "kez@example.jp" << false;
    QTest::newRow("a MAIL without a domain") << "example.jp"
                                             << "kez" << false;
}

void TestDkimSigner::alignment()
{
    QFETCH(QString, domain);
    QFETCH(QString, mail);
    QFETCH(bool, aligned);
    QString problem;
    QCOMPARE(bulk::CheckDkimAlignment(domain, mail, &problem), aligned);
    // Both domains are named.
    if (!aligned)
        QVERIFY2(problem.contains(domain) && problem.contains(mail.section(QLatin1Char('@'), 1)),
                 qPrintable(problem));

    // The start of a run and the test mail take the same decision with a usable key.
    TempAppDir app;
    app.write(QStringLiteral("ini/bulk.ini"),
              bulk_testing::completeBulkIni("DKIM=1\nDKIMDOMAIN=" + domain.toUtf8() +
                                            "\nDKIMSELECTOR=kez\nDKIMKEY=" + m_rsa.toUtf8()));
    for (const bool forRun : {true, false}) {
        QString refusal;
        const std::optional<bulk::RunOptions> options =
            forRun ? bulk::RunOptions::prepareRun(app.path(), &refusal, mail)
                   : bulk::RunOptions::prepareTestMail(app.path(), &refusal, mail);
        QCOMPARE(bool(options), aligned);
        if (!aligned)
            QVERIFY2(refusal.contains(domain), qPrintable(refusal));
    }
}

void TestDkimSigner::unsubscribeHeadersAreSigned()
{
    QString error;
    const auto signer = bulk::DkimSigner::create(QStringLiteral("example.jp"),
                                                 QStringLiteral("kez"), m_rsa, &error);
    QVERIFY2(signer, qPrintable(error));
    const QByteArray mail = "From: kez@example.jp\r\nTo: taro@example.jp\r\nSubject: news\r\n"
                            "List-Unsubscribe: <https://example.jp/stop?a=taro%40example.jp>\r\n"
                            "List-Unsubscribe-Post: List-Unsubscribe=One-Click\r\n"
                            "X-Mailer: kez\r\n\r\nbody\r\n";
    const std::optional<QByteArray> signedMail = signer->sign(mail, &error);
    QVERIFY2(signedMail, qPrintable(error));
    // The h= tag of the signature, unfolded, as a verifier reads it.
    QVERIFY(signedMail->endsWith(mail));
    QByteArray field = signedMail->left(signedMail->size() - mail.size());
    QVERIFY2(field.startsWith("DKIM-Signature:"), field.constData());
    field.replace("\r\n", "").replace(" ", "").replace("\t", "");
    QStringList covered;
    for (const QByteArray& tag : field.mid(field.indexOf(':') + 1).split(';'))
        if (tag.startsWith("h="))
            for (const QByteArray& name : tag.mid(2).split(':'))
                covered << QString::fromLatin1(name).toLower();
    QVERIFY2(covered.contains(QStringLiteral("list-unsubscribe")), qPrintable(covered.join(':')));
    QVERIFY2(covered.contains(QStringLiteral("list-unsubscribe-post")),
             qPrintable(covered.join(':')));
    // The list is the one chosen, not every field of the mail.
    QVERIFY2(covered.contains(QStringLiteral("from")) &&
                 !covered.contains(QStringLiteral("x-mailer")),
             qPrintable(covered.join(':')));
}

QTEST_GUILESS_MAIN(TestDkimSigner)
#include "test_dkim_signer.moc"
