// Reading SPF records as receivers do: what reads, what is a permanent error there, and which
// terms count towards the limit of 10 DNS queries. A record wrongly refused would send the
// operator to mend DNS that is fine; one wrongly passed fails every mail.
#include "core/preflight/spf.h"

#include <QTest>

class TestSpf : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TestSpf::parse_data()
{
    QTest::addColumn<QString>("record");
    QTest::addColumn<QString>("badTerm"); // empty: the record reads
    QTest::addColumn<int>("lookups");
    QTest::addColumn<QStringList>("followed");
    QTest::addColumn<bool>("passAll");

    const QStringList none;
    QTest::newRow("addresses and prefixes")
        << "v=spf1 ip4:192.0.2.0/24 ip4:198.51.100.7 ip6:2001:db8::/32 ip6:::1 -all"
        << "" << 0 << none << false;
    QTest::newRow("a and mx with dual prefixes")
        << "v=spf1 a a/24 mx:mail.example.jp//64 a:example.jp/28//48 ~all"
        << "" << 4 << none << false;
    QTest::newRow("qualifiers and names in any case")
        << "V=SPF1 +MX ?Include:Example.JP PTR -EXISTS:%{ir}.%{l1r+-}._spf.%{d} ?all"
        << "" << 4 << QStringList{"example.jp"} << false;
    QTest::newRow("redirect followed") << "v=spf1 ip4:192.0.2.1 redirect=_spf.example.jp"
                                       << "" << 1 << QStringList{"_spf.example.jp"} << false;
    QTest::newRow("redirect ignored beside all")
        << "v=spf1 include:a.example.jp redirect=_spf.example.jp ~all"
        << "" << 1 << QStringList{"a.example.jp"} << false;
    QTest::newRow("macro target counted, not followed") << "v=spf1 include:%{d}.x.example.jp"
                                                        << "" << 1 << none << false;
    QTest::newRow("unknown modifier allowed") << "v=spf1 exp=explain.example.jp foo.bar=%{s} -all"
                                              << "" << 0 << none << false;
    QTest::newRow("plain all passes everyone") << "v=spf1 mx all"
                                               << "" << 1 << none << true;
    QTest::newRow("+all passes everyone") << "v=spf1 +all"
                                          << "" << 0 << none << true;
    QTest::newRow("mistyped mechanism") << "v=spf1 ipv4:192.0.2.1 -all"
                                        << "ipv4:192.0.2.1" << 0 << none << false;
    QTest::newRow("ip4 octet") << "v=spf1 ip4:192.0.2.256 -all"
                               << "ip4:192.0.2.256" << 0 << none << false;
    QTest::newRow("ip4 prefix") << "v=spf1 ip4:192.0.2.0/33 -all"
                                << "ip4:192.0.2.0/33" << 0 << none << false;
    QTest::newRow("ip4 written in ip6") << "v=spf1 ip6:192.0.2.1 -all"
                                        << "ip6:192.0.2.1" << 0 << none << false;
    QTest::newRow("include without domain") << "v=spf1 include -all"
                                            << "include" << 0 << none << false;
    QTest::newRow("single label domain") << "v=spf1 include:localhost -all"
                                         << "include:localhost" << 0 << none << false;
    QTest::newRow("broken macro") << "v=spf1 exists:%{x}.example.jp -all"
                                  << "exists:%{x}.example.jp" << 0 << none << false;
    QTest::newRow("two redirects") << "v=spf1 redirect=a.example.jp redirect=b.example.jp"
                                   << "redirect=b.example.jp" << 0 << none << false;
    QTest::newRow("arguments after all") << "v=spf1 -all:example.jp"
                                         << "-all:example.jp" << 0 << none << false;
    QTest::newRow("tab inside") << "v=spf1 mx\t-all"
                                << "mx\t-all" << 0 << none << false;
}

void TestSpf::parse()
{
    QFETCH(QString, record);
    QFETCH(QString, badTerm);
    QFETCH(int, lookups);
    QFETCH(QStringList, followed);
    QFETCH(bool, passAll);

    QVERIFY(preflight::IsSpfRecord(record));
    const preflight::SpfRecord r = preflight::ParseSpf(record);
    QCOMPARE(r.badTerm, badTerm);
    QCOMPARE(r.problem.isEmpty(), badTerm.isEmpty());
    if (!badTerm.isEmpty())
        return;
    QCOMPARE(r.lookups, lookups);
    QCOMPARE(r.followed, followed);
    QCOMPARE(r.passAll, passAll);
    QVERIFY(!preflight::IsSpfRecord(QStringLiteral("v=spf10 ") + record.mid(7)));
}

QTEST_GUILESS_MAIN(TestSpf)
#include "test_spf.moc"
