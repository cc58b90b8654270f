#include "core/text/trim.h"

#include <QTest>

using compose::LTrim;
using compose::RTrim;
using compose::Trim;

class TestTrim : public QObject
{
    Q_OBJECT

private slots:
    void trims_data();
    void trims();
    void errorTextBuffer();
};

void TestTrim::trims_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("left");
    QTest::addColumn<QString>("right");
    QTest::addColumn<QString>("both");

    QTest::newRow("spaces around and inside") << QStringLiteral(" a b ") << QStringLiteral("a b ")
                                              << QStringLiteral(" a b") << QStringLiteral("a b");
    QTest::newRow("empty") << QString() << QString() << QString() << QString();
    QTest::newRow("one space") << QStringLiteral(" ") << QString() << QString() << QString();
    QTest::newRow("control characters only")
        << QStringLiteral("\t\r\n\x01 ") << QString() << QString() << QString();
    QTest::newRow("last character only") << QStringLiteral("  x") << QStringLiteral("x")
                                         << QStringLiteral("  x") << QStringLiteral("x");
    QTest::newRow("inner blanks kept") << QStringLiteral("a  b") << QStringLiteral("a  b")
                                       << QStringLiteral("a  b") << QStringLiteral("a  b");
    // Double-byte characters are text, not blanks: a path ending in kanji keeps it.
    QTest::newRow("kanji at the ends")
        << QStringLiteral(" 漢字\\ログ ") << QStringLiteral("漢字\\ログ ")
        << QStringLiteral(" 漢字\\ログ") << QStringLiteral("漢字\\ログ");
    QTest::newRow("kana only") << QStringLiteral("かなカナ") << QStringLiteral("かなカナ")
                               << QStringLiteral("かなカナ") << QStringLiteral("かなカナ");
    QTest::newRow("full-width letters")
        << QStringLiteral("\tＡＢＣ\r\n") << QStringLiteral("ＡＢＣ\r\n")
        << QStringLiteral("\tＡＢＣ") << QStringLiteral("ＡＢＣ");
    QTest::newRow("half-width katakana") << QStringLiteral("ｱﾄﾞﾚｽ ") << QStringLiteral("ｱﾄﾞﾚｽ ")
                                         << QStringLiteral("ｱﾄﾞﾚｽ") << QStringLiteral("ｱﾄﾞﾚｽ");
    // The ideographic space is the one double-byte blank.
    QTest::newRow("ideographic space at the ends")
        << QStringLiteral("\u3000 住所\u3000") << QStringLiteral("住所\u3000")
        << QStringLiteral("\u3000 住所") << QStringLiteral("住所");
    QTest::newRow("ideographic space inside")
        << QStringLiteral("中\u3000止") << QStringLiteral("中\u3000止")
        << QStringLiteral("中\u3000止") << QStringLiteral("中\u3000止");
    QTest::newRow("ideographic spaces only")
        << QStringLiteral("\u3000\u3000") << QString() << QString() << QString();
    QTest::newRow("delete is not blank") << QStringLiteral("\x7f") << QStringLiteral("\x7f")
                                         << QStringLiteral("\x7f") << QStringLiteral("\x7f");
}

void TestTrim::trims()
{
    QFETCH(QString, input);
    QFETCH(QString, left);
    QFETCH(QString, right);
    QFETCH(QString, both);
    const QString copy = input;
    QCOMPARE(LTrim(input), left);
    QCOMPARE(RTrim(input), right);
    QCOMPARE(Trim(input), both);
    QCOMPARE(input, copy);
}

void TestTrim::errorTextBuffer()
{
    // The transport's error text comes in a fixed buffer: NULs and spaces fill the rest.
    QString buffer = QStringLiteral("550 5.1.1 ユーザーが存在しません");
    const qsizetype message = buffer.size();
    while (buffer.size() < 8192)
        buffer += (buffer.size() % 2) ? QChar(u' ') : QChar(u'\0');
    QCOMPARE(Trim(buffer), buffer.left(message));
    QCOMPARE(RTrim(buffer).size(), message);
}

QTEST_GUILESS_MAIN(TestTrim)
#include "test_trim.moc"
