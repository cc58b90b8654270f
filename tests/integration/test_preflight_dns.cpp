// The preflight checks against a real DNS server: dnsmasq on 127.0.0.153 serves one test domain
// per case (scripts/servers/preflight-dns.conf) and forwards slow.test to a socket that never
// answers. The DKIM keys are made by openssl when the server starts.
#include "core/preflight/preflight.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QTest>

using preflight::CheckId;
using preflight::Verdict;

Q_DECLARE_METATYPE(bulk::BulkSettings)

namespace {

constexpr std::chrono::milliseconds kLimit{3000};

// One letter per check in CheckId order: O ✓, W ⚠, F ✗.
QString letters(const QList<preflight::CheckResult>& results)
{
    QString out;
    for (const auto& r : results)
        out += r.verdict == Verdict::Ok ? u'O' : r.verdict == Verdict::Warning ? u'W' : u'F';
    return out;
}

} // namespace

class TestPreflightDns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verdicts_data();
    void verdicts();

private:
    QHash<QString, QString> m_env;
};

void TestPreflightDns::initTestCase()
{
    QFile file(QDir(qEnvironmentVariable("KEZ_DNS_DIR")).filePath(QStringLiteral("dns.env")));
    QVERIFY2(file.open(QIODevice::ReadOnly),
             qPrintable(file.fileName() + QStringLiteral(": start scripts/servers/dns.sh")));
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.contains('='))
            m_env.insert(QString::fromUtf8(line.left(line.indexOf('='))),
                         QString::fromUtf8(line.mid(line.indexOf('=') + 1)));
    QVERIFY(m_env.contains(QStringLiteral("KEZ_DNS_GOOD_KEY")));
}

void TestPreflightDns::verdicts_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bulk::BulkSettings>("options");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("checkWithText");
    QTest::addColumn<QString>("text");

    auto signedFor = [this](const QString& domain) {
        bulk::BulkSettings o;
        o.dkim = true;
        o.dkimDomain = domain;
        o.dkimSelector = QStringLiteral("kez");
        o.dkimKeyPath = m_env.value(QStringLiteral("KEZ_DNS_GOOD_KEY"));
        o.unsubscribeUrl = QStringLiteral("https://good.test/stop?a={address}");
        o.footer = QStringLiteral("株式会社テスト 東京都千代田区1-1\n配信停止: {unsubscribe_url}");
        return o;
    };
    const int mailHost = int(CheckId::MailHost), spf = int(CheckId::Spf),
              dmarc = int(CheckId::Dmarc), dkim = int(CheckId::Dkim),
              unsubscribe = int(CheckId::Unsubscribe), footer = int(CheckId::Footer);

    QTest::newRow("all published")
        << "news@Good.Test" << signedFor("good.test") << "OOOOOO" << dmarc << "p=reject";
    bulk::BulkSettings o = signedFor("good.test");
    o.dkim = false;
    o.unsubscribeUrl.clear();
    o.unsubscribeMailto = QStringLiteral("mailto:stop@good.test");
    o.footer = QStringLiteral("株式会社テスト\n配信停止: {unsubscribe_mailto}");
    QTest::newRow("dkim off, mailto only")
        << "news@good.test" << o << "OOOWFO" << unsubscribe << "mailto";
    o = signedFor("good.test");
    o.unsubscribeUrl = QStringLiteral("http://good.test/stop");
    o.footer = QStringLiteral("株式会社テスト 東京都千代田区1-1");
    QTest::newRow("http url, footer without opt-out")
        << "news@good.test" << o << "OOOOFF" << footer << "配信停止";
    o = signedFor("good.test");
    o.dkimKeyPath = QStringLiteral("/nonexistent/kez.pem");
    o.footer = QStringLiteral("配信停止はこちら: stop@good.test");
    QTest::newRow("key file missing")
        << "news@good.test" << o << "OOOFOO" << dkim << "/nonexistent/kez.pem";
    o = signedFor("good.test");
    o.footer.clear();
    QTest::newRow("d= of another domain, empty footer")
        << "news@otherkey.test" << o << "OOOFOF" << dkim << "good.test";
    QTest::newRow("two spf") << "news@twospf.test" << signedFor("twospf.test") << "OFOFOO" << spf
                             << "2件";
    QTest::newRow("bad spf term, a record, p=none")
        << "news@badspf.test" << signedFor("badspf.test") << "OFOFOO" << spf << "ipv4:192.0.2.1";
    QTest::newRow("12 lookups through includes, two dmarc")
        << "news@deepspf.test" << signedFor("deepspf.test") << "OFFFOO" << spf << "12";
    QTest::newRow("dmarc of the organisational domain")
        << "news@sub.org.test" << signedFor("org.test") << "OOOFOO" << dmarc << "sp=quarantine";
    QTest::newRow("dkim record of another key")
        << "news@otherkey.test" << signedFor("otherkey.test") << "OOOFOO" << dkim << "一致しません";
    QTest::newRow("no host, dmarc without p=")
        << "news@nohost.test" << signedFor("nohost.test") << "FOFFOO" << mailHost << "nohost.test";
    QTest::newRow("no such domain")
        << "news@absent.test" << signedFor("absent.test") << "FFFFOO" << mailHost << "absent.test";
    // Last: its lookups hold Qt's resolver threads until the resolver gives up.
    QTest::newRow("time-out") << "news@slow.test" << signedFor("slow.test") << "WWWWOO" << spf
                              << "応答がありません";
}

void TestPreflightDns::verdicts()
{
    QFETCH(QString, sender);
    QFETCH(bulk::BulkSettings, options);
    QFETCH(QString, expected);
    QFETCH(int, checkWithText);
    QFETCH(QString, text);

    QElapsedTimer clock;
    clock.start();
    const QList<preflight::CheckResult> results = preflight::Run(
        {sender, options, QHostAddress(m_env.value(QStringLiteral("KEZ_DNS_SERVER")))}, kLimit);
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(results.size(), 6);
    for (int i = 0; i < results.size(); ++i) {
        QCOMPARE(int(results[i].id), i);
        QVERIFY(!results[i].title.isEmpty() && !results[i].detail.isEmpty());
    }
    QVERIFY2(letters(results) == expected,
             qPrintable(letters(results) + QStringLiteral(" != ") + expected + u'\n' +
                        results[checkWithText].detail));
    QVERIFY2(results[checkWithText].detail.contains(text),
             qPrintable(results[checkWithText].detail));
    // A time-out must be the limit passing, not an error that came back early, and the limit
    // must hold.
    const bool silent = sender.endsWith(QLatin1String("slow.test"));
    QVERIFY2(silent ? elapsed >= kLimit.count() - 50 : elapsed < 1000,
             qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < kLimit.count() + 500, qPrintable(QString::number(elapsed)));
}

QTEST_GUILESS_MAIN(TestPreflightDns)
#include "test_preflight_dns.moc"
