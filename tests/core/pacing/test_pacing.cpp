// Per-domain pacing: the order in which a run's list is handed out under gaps, hourly budgets,
// back-off and blocks, driven by a scripted time; and the rules' text as bulk.ini keeps it.
#include "core/pacing/pacer.h"

#include <QRegularExpression>
#include <QTest>

using pacing::Pacer;

namespace {

const QDateTime kBase(QDate(2026, 12, 7), QTime(9, 0), Qt::UTC);

QString seconds(const QDateTime& at)
{
    return QString::number(double(kBase.msecsTo(at)) / 1000);
}

// Runs a script against a pacer over `list` (seq = line number, from 1) and returns what it
// saw, one word per event:
//   n@T        a pick at kBase + T seconds    -> S<seq> | B<seq> | W<domain>@<s> | D | A
//   n@T*K/S    K picks, from T, every S seconds
//   x@T:dom    a throttling reply from dom    -> P<dom>@<end in s>, or P- when not paused
//   ok:dom     a delivery to dom
//   b:dom      dom blocked for the run
//   h:seq:dom  seq put back among the held entries of dom (-> H- when it cannot be)
//   c          -> C<held count>
// Every Send counts as sent at its pick's time, as the run notes it.
QString runScript(const QString& rules, const QStringList& list, const QString& script)
{
    QString problem;
    const std::optional<QList<pacing::PaceRule>> parsed = pacing::parseRules(rules, &problem);
    if (!parsed)
        return QStringLiteral("bad rules: ") + problem;
    Pacer pacer(*parsed);
    qint64 read = 0;
    const auto source = [&]() -> std::optional<Pacer::Entry> {
        if (read == list.size())
            return std::nullopt;
        ++read;
        return Pacer::Entry{read, list.at(read - 1)};
    };
    QStringList seen;
    auto pick = [&](const QDateTime& now) {
        const Pacer::Pick p = pacer.next(now, source);
        // A held entry comes back without its address; its domain must still be the line's.
        if ((p.kind == Pacer::Pick::Send || p.kind == Pacer::Pick::Blocked) &&
            ((!p.address.isEmpty() && p.address != list.at(p.seq - 1)) ||
             p.domain != pacing::domainOf(list.at(p.seq - 1))))
            seen << QStringLiteral("wrong entry %1").arg(p.seq);
        switch (p.kind) {
        case Pacer::Pick::Send:
            pacer.noteSent(p.domain, now);
            seen << QStringLiteral("S%1").arg(p.seq);
            break;
        case Pacer::Pick::Blocked: seen << QStringLiteral("B%1").arg(p.seq); break;
        case Pacer::Pick::Wait:
            seen << QStringLiteral("W%1@%2").arg(p.domain, seconds(p.waitUntil));
            break;
        case Pacer::Pick::Done: seen << QStringLiteral("D"); break;
        case Pacer::Pick::Again: seen << QStringLiteral("A"); break;
        }
    };
    for (const QString& step : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = step.split(QLatin1Char(':'));
        const QString head = parts.first();
        auto at = [&](const QString& time) {
            return kBase.addMSecs(qint64(time.toDouble() * 1000));
        };
        if (head.startsWith(u"n@")) {
            const QStringList times = head.mid(2).split(QRegularExpression(QStringLiteral("[*/]")));
            const int count = times.size() == 3 ? times.at(1).toInt() : 1;
            const double every = times.size() == 3 ? times.at(2).toDouble() : 0;
            for (int i = 0; i < count; ++i)
                pick(at(times.at(0)).addMSecs(qint64(i * every * 1000)));
        } else if (head.startsWith(u"x@")) {
            const QDateTime end = pacer.noteThrottled(parts.at(1), at(head.mid(2)));
            seen << (end.isValid() ? QStringLiteral("P%1@%2").arg(parts.at(1), seconds(end))
                                   : QStringLiteral("P-"));
        } else if (head == u"ok") {
            pacer.noteDelivered(parts.at(1));
        } else if (head == u"b") {
            pacer.blockForRun(parts.at(1));
        } else if (head == u"h") {
            if (!pacer.holdAgain(parts.at(1).toLongLong(), parts.at(2)))
                seen << QStringLiteral("H-");
        } else if (head == u"c") {
            seen << QStringLiteral("C%1").arg(pacer.heldCount());
        } else {
            seen << QStringLiteral("bad step ") + step;
        }
    }
    return seen.join(QLatin1Char(' '));
}

} // namespace

class TestPacing : public QObject
{
    Q_OBJECT

private slots:
    void handsOutTheListInPacedOrder_data();
    void handsOutTheListInPacedOrder();
    void readsAndWritesRules_data();
    void readsAndWritesRules();
    void tellsThrottlingReplies_data();
    void tellsThrottlingReplies();
    void namesDomainsAndPauses();
};

void TestPacing::handsOutTheListInPacedOrder_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");

    const QStringList mixed = {"a@docomo.ne.jp", "b@x.jp",         "c@docomo.ne.jp",
                               "d@x.jp",         "e@docomo.ne.jp", "f@y.jp"};
    QTest::newRow("no rules: the list as it is, a throttle changes nothing")
        << QString() << QStringList{"a@docomo.ne.jp", "no at sign", "c@docomo.ne.jp", "d@例え.jp"}
        << "n@0 x@0:docomo.ne.jp n@0*4/0 c"
        << "S1 P- S2 S3 S4 D C0";
    QTest::newRow("a gap holds its domain, the others go on")
        << "docomo.ne.jp,1,0" << mixed << "n@0*4/0.1 c n@0.4 n@1 n@1.5 n@2 n@2.1"
        << "S1 S2 S4 S6 C2 Wdocomo.ne.jp@1 S3 Wdocomo.ne.jp@2 S5 D";
    QTest::newRow("an hourly budget counts the last hour")
        << "docomo.ne.jp,0,2"
        << QStringList{"a@docomo.ne.jp", "b@docomo.ne.jp", "c@docomo.ne.jp", "d@x.jp",
                       "e@docomo.ne.jp"}
        << "n@0*4/10 n@3600 n@3601 n@3610 n@3611"
        << "S1 S2 S4 Wdocomo.ne.jp@3600 S3 Wdocomo.ne.jp@3610 S5 D";
    QTest::newRow("the most specific pattern; case and IDN forms meet")
        << "*.ne.jp,10,0;docomo.ne.jp,0,0;*.softbank.ne.jp,0,0;例え.jp,5,0"
        << QStringList{"a@docomo.ne.jp",        "b@Docomo.NE.jp", "c@ezweb.ne.jp",
                       "d@EZWEB.ne.jp",         "e@ne.jp",        "f@mail.softbank.ne.jp",
                       "g@mail.softbank.ne.jp", "h@例え.jp",      "i@XN--R8JZ45G.jp"}
        << "n@0*8/0 n@5*2/0 n@10*2/0"
        << "S1 S2 S3 S5 S6 S7 S8 Wxn--r8jz45g.jp@5 S9 Wezweb.ne.jp@10 S4 D";
    QTest::newRow("a paused domain waits, its throttled mail goes first afterwards")
        << "docomo.ne.jp,0,0" << mixed.mid(0, 4)
        << "n@0 x@0:docomo.ne.jp h:1:docomo.ne.jp h:2:x.jp n@1*3/1 n@900*3/0"
        << "S1 Pdocomo.ne.jp@900 H- S2 S4 Wdocomo.ne.jp@900 S1 S3 D";
    QTest::newRow("back-off doubles to four hours; a delivery starts it again")
        << "*,0,0" << QStringList()
        << "x@0:a.jp x@900:a.jp x@2700:a.jp x@6300:a.jp x@13500:a.jp x@27900:a.jp x@42300:b.jp "
           "ok:a.jp x@42300:a.jp"
        << "Pa.jp@900 Pa.jp@2700 Pa.jp@6300 Pa.jp@13500 Pa.jp@27900 Pa.jp@42300 Pb.jp@43200 "
           "Pa.jp@43200";
    QTest::newRow("blocked for the run: held and later entries come back blocked")
        << "docomo.ne.jp,5,0" << QStringList{"a@docomo.ne.jp", "b@docomo.ne.jp", "c@x.jp",
                                             "d@docomo.ne.jp", "e@gmail.com",    "f@gmail.com"}
        << "n@0*2/1 b:docomo.ne.jp n@1*2/0 b:GMAIL.com. n@1*3/0"
        << "S1 S3 B2 B4 B5 B6 D";
    // A list sorted by domain: the held run is read a share at a time.
    QStringList sorted(Pacer::kMaxReadsPerPick + 2, QStringLiteral("m@docomo.ne.jp"));
    sorted << QStringLiteral("z@x.jp");
    QTest::newRow("a long held run is read in shares")
        << "docomo.ne.jp,60,0" << sorted << "n@0*3/1 c"
        << QStringLiteral("S1 A S%1 C%2").arg(sorted.size()).arg(Pacer::kMaxReadsPerPick + 1);
}

void TestPacing::handsOutTheListInPacedOrder()
{
    QFETCH(QString, rules);
    QFETCH(QStringList, list);
    QFETCH(QString, script);
    QFETCH(QString, expected);
    QCOMPARE(runScript(rules, list, script), expected);
}

void TestPacing::readsAndWritesRules_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("count");       // rules read, -1 when refused
    QTest::addColumn<QString>("problem"); // part of the refusal

    QTest::newRow("empty") << "" << 0 << "";
    QTest::newRow("two rules, blanks around fields")
        << "docomo.ne.jp,3,600; *.ne.jp , 1 , 0" << 2 << "";
    QTest::newRow("every domain and a Japanese one") << "*,0,0;例え.jp,2,10" << 2 << "";
    QTest::newRow("the carriers' rows") << pacing::formatRules(pacing::carrierPresets()) << 6 << "";
    QTest::newRow("an empty rule at the end")
        << "docomo.ne.jp,3,600;" << -1 << "2番目の規則「」: 「宛先ドメイン,最小間隔（秒）";
    QTest::newRow("four fields") << "docomo.ne.jp,3,600,1" << -1 << "３つを「,」で区切って";
    QTest::newRow("a word for a number") << "docomo.ne.jp,x,1" << -1 << "最小間隔（秒）は 0 以上";
    QTest::newRow("a plus sign") << "docomo.ne.jp,1,+1" << -1 << "1時間の上限（通）は 0 以上";
    QTest::newRow("a gap over a day") << "docomo.ne.jp,86401,0" << -1 << "0 から 86400 まで";
    QTest::newRow("a star in the middle") << "*.*.jp,1,1" << -1 << "先頭にだけ";
    QTest::newRow("an address") << "a@docomo.ne.jp,1,1" << -1 << "ドメインを書いて下さい";
    QTest::newRow("not a host name") << "docomo ne jp,1,1" << -1 << "ドメインの形ではありません";
    QTest::newRow("a domain twice in other case")
        << "docomo.ne.jp,1,1;Docomo.ne.jp,2,2" << -1 << "2番目の規則「Docomo.ne.jp,2,2」";
    QTest::newRow("a domain twice in IDN forms")
        << "例え.jp,1,1;xn--r8jz45g.jp,2,2" << -1 << "「xn--r8jz45g.jp」が２度";
}

void TestPacing::readsAndWritesRules()
{
    QFETCH(QString, value);
    QFETCH(int, count);
    QFETCH(QString, problem);
    QString why;
    const std::optional<QList<pacing::PaceRule>> rules = pacing::parseRules(value, &why);
    QCOMPARE(rules ? int(rules->size()) : -1, count);
    if (!rules) {
        QVERIFY2(why.contains(problem), qPrintable(why));
        return;
    }
    QCOMPARE(pacing::parseRules(pacing::formatRules(*rules), nullptr), rules);
}

void TestPacing::tellsThrottlingReplies_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("throttle");

    QTest::newRow("421 closing") << 421 << "Service not available" << true;
    QTest::newRow("4.7.1 after the code") << 451 << "451 4.7.1 Try again later" << true;
    QTest::newRow("4.7.0 in a continued reply")
        << 450 << "450-4.7.0 Too many mails\r\n450 4.7.0 Slow down" << true;
    QTest::newRow("4.7.x alone, code unknown") << 0 << "4.7.28 rate limited" << true;
    QTest::newRow("5.7.1 refusal") << 550 << "550 5.7.1 Denied" << false;
    QTest::newRow("4.7.1 in a 5xx reply") << 550 << "550 4.7.1 odd" << false;
    QTest::newRow("another transient") << 451 << "451 4.4.1 No answer" << false;
    QTest::newRow("a version number") << 451 << "451 server 14.7.1 busy" << false;
}

void TestPacing::tellsThrottlingReplies()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(bool, throttle);
    QCOMPARE(pacing::isThrottleReply(code, text), throttle);
}

void TestPacing::namesDomainsAndPauses()
{
    QCOMPARE(pacing::domainOf(QStringLiteral("Taro@DoCoMo.ne.jp")), QStringLiteral("docomo.ne.jp"));
    QCOMPARE(pacing::domainOf(QStringLiteral("taro@例え.jp")), QStringLiteral("xn--r8jz45g.jp"));
    QCOMPARE(pacing::domainOf(QStringLiteral("\"a@b\"@Example.JP.")), QStringLiteral("example.jp"));
    QCOMPARE(pacing::domainOf(QStringLiteral("x@ＥＸＡＭＰＬＥ.jp")), QStringLiteral("example.jp"));
    QCOMPARE(pacing::domainOf(QStringLiteral("no at sign")), QString());

    const QDateTime local(QDate(2026, 12, 7), QTime(12, 34, 59));
    QCOMPARE(pacing::waitingTitle(QStringLiteral("docomo.ne.jp"), local),
             QStringLiteral("待機中 docomo.ne.jp 12:34まで"));
    QCOMPARE(pacing::backoffLogText(QStringLiteral("docomo.ne.jp"), local.toUTC()),
             QStringLiteral("宛先ドメイン docomo.ne.jp の受け付けが制限されたため、"
                            "12:34まで送信を控えます"));
}

QTEST_GUILESS_MAIN(TestPacing)
#include "test_pacing.moc"
