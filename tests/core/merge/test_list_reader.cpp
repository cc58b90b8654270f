#include "core/merge/merge_fields.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Code page 932 bytes written out, so that the judge does not share the reader's decoder.
const QByteArray kSjisHeader = "\x83\x81\x81\x5B\x83\x8B\x83\x41\x83\x68\x83\x8C\x83\x58,"
                               "\x8E\x81\x96\xBC,\x89\xEF\x8E\xD0\x96\xBC\r\n";
// 山田 and 表示 / 株式会社ソニック: the second bytes of 表 and ソ are a backslash.
const QByteArray kSjisRow =
    "a@example.jp,\x8E\x52\x93\x63,\"\x95\x5C\x8E\xA6,"
    "\x8A\x94\x8E\xAE\x89\xEF\x8E\xD0\x83\x5C\x83\x6A\x83\x62\x83\x4E\"\r\n";

} // namespace

class TestListReader : public QObject
{
    Q_OBJECT

private slots:
    void readsRows_data();
    void readsRows();
};

void TestListReader::readsRows_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("holdsColumns");
    QTest::addColumn<QString>("header");   // "|"-joined names; "-" for no header row
    QTest::addColumn<QStringList>("rows"); // "line|field|field..."
    QTest::addColumn<QString>("error");    // part of the error text; empty for none

    QTest::newRow("bare addresses")
        << QByteArray("a@example.jp\r\nb@example.jp\r\n") << false << "-"
        << QStringList{"1|a@example.jp", "2|b@example.jp"} << QString();
    QTest::newRow("a comma first on a later line leaves the list bare")
        << QByteArray(" \r\na@example.jp\r\nTaro,b@example.jp\r\n") << false << "-"
        << QStringList{"2|a@example.jp", "3|Taro|b@example.jp"} << QString();
    QTest::newRow("quoted comma and doubled quotes")
        << QByteArray("a@example.jp,\"Yamada, Taro\",\"say \"\"hi\"\"\",\"\"\n") << true << "-"
        << QStringList{"1|a@example.jp|Yamada, Taro|say \"hi\"|"} << QString();
    QTest::newRow("line break inside quotes keeps the row's first line")
        << QByteArray("a@example.jp,\"one\ntwo\r\nthree\",x\r\nb@example.jp,y,z\n") << true << "-"
        << QStringList{"1|a@example.jp|one\r\ntwo\r\nthree|x", "4|b@example.jp|y|z"} << QString();
    QTest::newRow("blank lines and rows of bare commas counted, not read")
        << QByteArray("\r\na@example.jp,1\r\n\r\n , ,\r\nb@example.jp,2") << true << "-"
        << QStringList{"2|a@example.jp|1", "5|b@example.jp|2"} << QString();
    QTest::newRow("CR line ends, text after a closing quote kept")
        << QByteArray("a@example.jp,\"q\"x,b\"c\rb@example.jp,2\r") << true << "-"
        << QStringList{"1|a@example.jp|qx|b\"c", "2|b@example.jp|2"} << QString();
    QTest::newRow("code page 932 with a header row")
        << kSjisHeader + kSjisRow << true << QStringLiteral("メールアドレス|氏名|会社名")
        << QStringList{QStringLiteral("2|a@example.jp|山田|表示,株式会社ソニック")} << QString();
    QTest::newRow("UTF-8 with a byte-order mark, header names trimmed")
        << QByteArray(
               "\xEF\xBB\xBF"
               "\r\nmail, \xE6\xB0\x8F\xE5\x90\x8D \r\na@example.jp,\xE5\xB1\xB1\xE7\x94\xB0\r\n")
        << true << QStringLiteral("mail|氏名") << QStringList{QStringLiteral("3|a@example.jp|山田")}
        << QString();
    QTest::newRow("unclosed quote names its line")
        << QByteArray("a@example.jp,ok\r\nb@example.jp,\"open\r\nmore\r\n") << true << "-"
        << QStringList{"1|a@example.jp|ok"} << QStringLiteral("2行目から始まる引用符");
}

void TestListReader::readsRows()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, holdsColumns);
    QFETCH(QString, header);
    QFETCH(QStringList, rows);
    QFETCH(QString, error);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("list.csv"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
    file.close();

    QString openError;
    QCOMPARE(merge::holdsColumns(path, &openError), std::optional<bool>(holdsColumns));
    std::unique_ptr<merge::ListReader> reader = merge::ListReader::open(path, &openError);
    QVERIFY2(reader, qPrintable(openError));
    QCOMPARE(reader->columns().hasHeader, header != QLatin1String("-"));
    if (reader->columns().hasHeader)
        QCOMPARE(reader->columns().names.join(QLatin1Char('|')), header);

    QStringList read;
    while (std::optional<merge::Row> row = reader->next())
        read.append(QString::number(row->line) + QLatin1Char('|') +
                    row->fields.join(QLatin1Char('|')));
    QCOMPARE(read, rows);
    QCOMPARE(reader->hasError(), !error.isEmpty());
    if (!error.isEmpty())
        QVERIFY2(reader->errorString().contains(error), qPrintable(reader->errorString()));
}

QTEST_GUILESS_MAIN(TestListReader)
#include "test_list_reader.moc"
