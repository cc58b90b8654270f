#include "core/platform/text_files.h"

#include <QBuffer>
#include <QTest>

using platform::CrLineReader;

namespace {

// A device that hands out at most a few bytes per read, so that line ends fall across the
// reader's chunk boundaries.
class TrickleDevice : public QIODevice
{
public:
    TrickleDevice(QByteArray data, qint64 step) : m_data(std::move(data)), m_step(step)
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    bool atEnd() const override { return m_pos >= m_data.size() && QIODevice::atEnd(); }
    qint64 bytesAvailable() const override
    {
        return m_data.size() - m_pos + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char* out, qint64 max) override
    {
        const qint64 n = std::min({max, m_step, qint64(m_data.size() - m_pos)});
        memcpy(out, m_data.constData() + m_pos, size_t(n));
        m_pos += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_step;
    qint64 m_pos = 0;
};

QStringList readAll(CrLineReader& reader)
{
    QStringList lines;
    while (!reader.atEnd()) {
        const auto line = reader.readLine();
        if (!line)
            break;
        lines << *line;
    }
    return lines;
}

} // namespace

class TestTextFiles : public QObject
{
    Q_OBJECT
private slots:
    void lineEnds_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("crlf") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
        QTest::newRow("cr only") << QByteArray("a\rb\r") << QStringList{"a", "b"};
        QTest::newRow("lf does not end a line")
            << QByteArray("a\nb\nc\n") << QStringList{"a\nb\nc\n"};
        QTest::newRow("last line without end") << QByteArray("a\r\nb") << QStringList{"a", "b"};
        QTest::newRow("empty line inside") << QByteArray("a\r\n\r\nb") << QStringList{"a", "", "b"};
        QTest::newRow("two breaks at the end")
            << QByteArray("a\r\nb\r\n\r\n") << QStringList{"a", "b", ""};
        QTest::newRow("cr then lf then lf") << QByteArray("a\r\n\nb") << QStringList{"a", "\nb"};
        QTest::newRow("empty file") << QByteArray() << QStringList{};
    }
    void lineEnds()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        // Whole, and trickled a byte at a time so that every CR and LF meets a chunk edge.
        for (qint64 step : {qint64(1) << 20, qint64(1), qint64(2)}) {
            TrickleDevice device(bytes, step);
            CrLineReader reader(&device);
            QCOMPARE(readAll(reader), lines);
            QVERIFY(reader.atEnd());
            QVERIFY(!reader.hasError());
        }
    }

    void atEndAfterEachLine()
    {
        // The probe of a recipient list relies on this: after the one line of a one-line file
        // the reader is at its end, after the first of two lines it is not.
        QBuffer one;
        one.setData("a@example.com\r\n");
        one.open(QIODevice::ReadOnly);
        CrLineReader r1(&one);
        QCOMPARE(r1.readLine().value_or("?"), QString("a@example.com"));
        QVERIFY(r1.atEnd());

        QBuffer two;
        two.setData("a@example.com\r\nb@example.com");
        two.open(QIODevice::ReadOnly);
        CrLineReader r2(&two);
        r2.readLine();
        QVERIFY(!r2.atEnd());
    }

    void cp932AndBom()
    {
        QBuffer sjis;
        sjis.setData(QByteArray("\x93\xfa\x96\x7b\x8c\xea\r\n\xb1\xb2\r\n")); // 日本語, ｱｲ
        sjis.open(QIODevice::ReadOnly);
        CrLineReader reader(&sjis);
        QVERIFY(!reader.skipUtf8Bom());
        QCOMPARE(readAll(reader), (QStringList{QStringLiteral("日本語"), QStringLiteral("ｱｲ")}));

        QBuffer utf8;
        utf8.setData(QByteArray("\xEF\xBB\xBF") + QStringLiteral("宛先@例.jp\r\nx").toUtf8());
        utf8.open(QIODevice::ReadOnly);
        CrLineReader reader8(&utf8);
        QVERIFY(reader8.skipUtf8Bom());
        QCOMPARE(readAll(reader8), (QStringList{QStringLiteral("宛先@例.jp"), "x"}));
    }

    void encodeRefusesWhatCp932CannotHold()
    {
        QCOMPARE(platform::encodeCp932(QStringLiteral("①㈱髙")).value_or(QByteArray()),
                 QByteArray("\x87\x40\x87\x8a\xfb\xfc"));
        QVERIFY(!platform::encodeCp932(QStringLiteral("/home/user/😀.log")).has_value());
        QVERIFY(!platform::encodeCp932(QStringLiteral("Ελληνικά€")).has_value() ||
                platform::decodeCp932(*platform::encodeCp932(QStringLiteral("Ελληνικά€"))) ==
                    QStringLiteral("Ελληνικά€"));
    }

    void utf8Validity()
    {
        QVERIFY(platform::isValidUtf8(QStringLiteral("本文").toUtf8()));
        QVERIFY(platform::isValidUtf8(QByteArray("\xEF\xBB\xBF") + "abc"));
        QVERIFY(!platform::isValidUtf8(QByteArray("\x96\x7b\x95\xb6"))); // 本文 in cp932
    }
};

QTEST_GUILESS_MAIN(TestTextFiles)
#include "test_text_files.moc"
