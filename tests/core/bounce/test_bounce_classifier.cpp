// The verdicts on failed deliveries: by enhanced status code, by reply code and the words of the
// pattern table, English and Japanese, and a bare 550 that must not suppress anybody.
#include "core/bounce/bounce_classifier.h"

#include <QTest>

namespace {

struct Row
{
    const char* name;
    int basicCode;
    const char* status;
    const char* text;
    const char* verdict;
};

// clang-format off
const Row kRows[] = {
    // The enhanced status code decides when it names the address or the domain's side.
    {"5.1.1 in the text", 550, "", "5.1.1 <a@example.jp>: rejected", "hard"},
    {"5.1.2 bad domain", 550, "5.1.2", "", "hard"},
    {"5.1.10 null MX", 556, "", "5.1.10 Recipient domain accepts no mail", "hard"},
    {"5.2.1 disabled", 550, "5.2.1", "Mailbox disabled", "hard"},
    {"5.1.11 is not 5.1.1", 550, "", "5.1.11 something else", "ambiguous"},
    {"status field with a comment", 0, "5.1.1 (bad destination mailbox)", "", "hard"},
    {"4.2.2 mailbox full", 452, "4.2.2", "Mailbox full", "soft"},
    {"4.x.x even with a 5xx reply", 550, "4.7.1", "greylisted", "soft"},
    {"5.2.2 mailbox full", 552, "5.2.2", "Mailbox full", "domain"},
    {"5.7.1 wins over user unknown", 550, "", "5.7.1 user unknown or relaying denied", "domain"},
    {"5.7.26 DMARC", 550, "", "5.7.26 Unauthenticated email", "domain"},
    {"5.4.4 unroutable", 550, "5.4.4", "", "domain"},
    {"5.3.4 too big", 552, "", "5.3.4 Message size exceeds", "domain"},
    {"2.0.0 accepted", 250, "2.0.0", "Ok", "unknown"},
    // A permanent code that says nothing definite leaves it to the words.
    {"5.0.0 User unknown", 550, "5.0.0", "User unknown", "hard"},
    {"5.5.0 nothing more", 550, "5.5.0", "Requested action not taken", "ambiguous"},
    // No enhanced code: the reply code, then the table.
    {"550 no such user", 550, "", "No such user here", "hard"},
    {"wrapped and in capitals", 550, "", "USER\n    UNKNOWN in table", "hard"},
    {"does not exist", 550, "", "Mailbox does not exist", "hard"},
    {"a bare 550 never suppresses", 550, "", "Requested action not taken: mailbox unavailable", "ambiguous"},
    {"550 from an IP that looks like a code", 550, "", "host [10.5.1.1] said: mailbox unavailable", "ambiguous"},
    {"block before user", 554, "", "blocked: user unknown check skipped for spam", "domain"},
    {"mailbox full, no code", 552, "", "Mailbox is full", "domain"},
    {"4xx is soft whatever it says", 450, "", "User unknown", "soft"},
    {"try again later, no code at all", 0, "", "Please try again later", "soft"},
    {"250 is no failure", 250, "", "Ok: queued", "unknown"},
    {"nothing at all", 0, "", "", "unknown"},
    {"words that say nothing", 0, "", "Thank you for your mail", "unknown"},
    // Japanese carriers' and providers' words.
    {"宛先不明", 550, "", "宛先不明のため配信できませんでした", "hard"},
    {"存在しません, no code", 0, "", "このメールアドレスは存在しません", "hard"},
    {"ユーザーが存在しません", 550, "", "指定のユーザーが存在しません", "hard"},
    {"ユーザが存在しません", 550, "", "ユーザが存在しません", "hard"},
    {"受信拒否 is the receiver's setting", 550, "", "受信拒否設定により配信できませんでした", "domain"},
    {"容量オーバー", 0, "", "メールボックスの容量オーバーです", "domain"},
    {"一時的", 0, "", "一時的なエラーのため配信できませんでした", "soft"},
};
// clang-format on

} // namespace

class TestBounceClassifier : public QObject
{
    Q_OBJECT

private slots:
    void statusCodeInText_data();
    void statusCodeInText();
    void verdicts_data();
    void verdicts();
};

void TestBounceClassifier::statusCodeInText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("status");
    QTest::newRow("multi-line reply") << "550-5.1.1 The email account does not exist"
                                      << "5.1.1";
    QTest::newRow("three-digit detail") << "550 5.1.10 null MX"
                                        << "5.1.10";
    QTest::newRow("qmail's way") << "no mailbox here by that name. (#5.1.1)"
                                 << "5.1.1";
    QTest::newRow("sentence end") << "failed with 4.2.2."
                                  << "4.2.2";
    QTest::newRow("the first of two") << "5.7.1 after 5.1.1"
                                      << "5.7.1";
    QTest::newRow("inside an IP address") << "host [10.5.1.1] said: 550 unavailable"
                                          << "";
    QTest::newRow("version number") << "Exim 4.96.2.1 said 550"
                                    << "";
    QTest::newRow("no such class") << "3.1.1 and 6.1.1 are not status codes"
                                   << "";
    QTest::newRow("none") << "550 Mailbox unavailable"
                          << "";
}

void TestBounceClassifier::statusCodeInText()
{
    QFETCH(QString, text);
    QFETCH(QString, status);
    QCOMPARE(bounce::enhancedStatusIn(text), status);
}

void TestBounceClassifier::verdicts_data()
{
    QTest::addColumn<int>("basicCode");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("verdict");
    for (const Row& r : kRows)
        QTest::newRow(r.name) << r.basicCode << QString::fromUtf8(r.status)
                              << QString::fromUtf8(r.text) << QString::fromUtf8(r.verdict);
}

void TestBounceClassifier::verdicts()
{
    QFETCH(int, basicCode);
    QFETCH(QString, status);
    QFETCH(QString, text);
    QFETCH(QString, verdict);
    QCOMPARE(bounce::verdictName(bounce::classify({basicCode, status, text})), verdict);
    // The transport's replies carry their status in the text and go the same way.
    if (status.isEmpty() && basicCode != 0)
        QCOMPARE(bounce::verdictName(bounce::classifyReply(basicCode, text)), verdict);
}

QTEST_GUILESS_MAIN(TestBounceClassifier)
#include "test_bounce_classifier.moc"
