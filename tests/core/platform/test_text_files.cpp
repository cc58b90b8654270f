#include "core/platform/system_messages.h"
#include "core/platform/text_files.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>

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

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Caps the size of files this process writes, for the life of the object. SIGXFSZ is ignored
// meanwhile, so a write past the cap fails with EFBIG instead of ending the process.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit capped = m_old;
        capped.rlim_cur = bytes;
        if (setrlimit(RLIMIT_FSIZE, &capped) != 0)
            qFatal("setrlimit failed");
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
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
    // Each input read with the two sets of line ends: CR and CR LF only (the body file), and
    // LF as well (lists and the settings file).
    void lineEnds_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");    // LineEnds::CrOnly
        QTest::addColumn<QStringList>("anyLines"); // LineEnds::Any
        QTest::newRow("crlf") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"}
                              << QStringList{"a", "b"};
        QTest::newRow("cr only") << QByteArray("a\rb\r") << QStringList{"a", "b"}
                                 << QStringList{"a", "b"};
        QTest::newRow("lf only") << QByteArray("a\nb\nc\n") << QStringList{"a\nb\nc\n"}
                                 << QStringList{"a", "b", "c"};
        QTest::newRow("last line without end")
            << QByteArray("a\r\nb") << QStringList{"a", "b"} << QStringList{"a", "b"};
        QTest::newRow("empty line inside")
            << QByteArray("a\r\n\r\nb") << QStringList{"a", "", "b"} << QStringList{"a", "", "b"};
        QTest::newRow("two breaks at the end")
            << QByteArray("a\r\nb\r\n\r\n") << QStringList{"a", "b", ""}
            << QStringList{"a", "b", ""};
        QTest::newRow("cr then lf then lf")
            << QByteArray("a\r\n\nb") << QStringList{"a", "\nb"} << QStringList{"a", "", "b"};
        QTest::newRow("lf then cr")
            << QByteArray("a\n\rb") << QStringList{"a\n", "b"} << QStringList{"a", "", "b"};
        QTest::newRow("all three mixed")
            << QByteArray("a\r\nb\nc\rd\n") << QStringList{"a", "b\nc", "d\n"}
            << QStringList{"a", "b", "c", "d"};
        QTest::newRow("empty lines of lf")
            << QByteArray("\n\na\n") << QStringList{"\n\na\n"} << QStringList{"", "", "a"};
        QTest::newRow("empty file") << QByteArray() << QStringList{} << QStringList{};
    }
    void lineEnds()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, anyLines);
        // Whole, and trickled a byte at a time so that every CR and LF meets a chunk edge.
        for (qint64 step : {qint64(1) << 20, qint64(1), qint64(2)}) {
            for (platform::LineEnds ends : {platform::LineEnds::CrOnly, platform::LineEnds::Any}) {
                TrickleDevice device(bytes, step);
                CrLineReader reader(&device, platform::TextEncoding::Cp932, ends);
                QCOMPARE(readAll(reader), ends == platform::LineEnds::Any ? anyLines : lines);
                QVERIFY(reader.atEnd());
                QVERIFY(!reader.hasError());
            }
        }
    }

    // The reader offered for every list file: code page 932 or UTF-8 after a byte-order mark,
    // any line ends, every line handed over untrimmed.
    void listFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("cp932, crlf") << QByteArray("\x93\xfa\x96\x7b@x.jp\r\n b@x.jp \r\n")
                                     << QStringList{QStringLiteral("日本@x.jp"), " b@x.jp "};
        QTest::newRow("utf-8 with bom, lf")
            << QByteArray("\xEF\xBB\xBF") + QStringLiteral("先頭@例.jp\n\nb@x.jp\n").toUtf8()
            << QStringList{QStringLiteral("先頭@例.jp"), "", "b@x.jp"};
        QTest::newRow("empty") << QByteArray() << QStringList{};
        // One decoder serves every line: a lead byte cut off at a line's end must not take the
        // next line's first byte as its trail ("\x82A" would be a character of its own).
        QTest::newRow("cp932, a line ending in a lead byte")
            << QByteArray("x\x82\r\nA@x.jp\r\n\x93\xfa\x96\x7b@x.jp")
            << QStringList{"x", "A@x.jp", QStringLiteral("日本@x.jp")};
    }
    void listFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("list.csv"));
        writeFile(path, bytes);
        QStringList seen;
        QString reason;
        QVERIFY(platform::readListFile(
            path, [&](const QString& line) { seen << line; }, &reason));
        QCOMPARE(seen, lines);

        QVERIFY(!platform::readListFile(
            dir.filePath(QStringLiteral("missing.csv")), [](const QString&) {}, &reason));
        QVERIFY(!reason.isEmpty());
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

    // --- Appends: the whole line or nothing --------------------------------------------

    // A file size limit lets the system take only part of an append. The file must be left
    // as it was, with the system's reason; once the limit is raised, the next append gives a
    // file of whole lines.
    void appendCutShortByTheSystemIsTakenBack()
    {
        platform::useJapaneseSystemMessages();
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("send.log"));
        const QByteArray old = "u01@example.jp,26/12/07 11:05:07\r\n";
        writeFile(path, old);
        const QByteArray line = "u02@example.jp,26/12/07 11:05:08\r\n";
        {
            FileSizeLimit limit(old.size() + 10);
            QString reason;
            QVERIFY(!platform::appendWhole(path, line, &reason));
            // The system's words for EFBIG, from its own catalogue; never "Unknown error".
            QCOMPARE(reason, QString::fromLocal8Bit(std::strerror(EFBIG)));
            QCOMPARE(reason, QStringLiteral("ファイルが大きすぎます"));
            QCOMPARE(readFile(path), old);
        }
        const QByteArray next = "u03@example.jp,26/12/07 11:05:09\r\n";
        QVERIFY(platform::appendWhole(path, next, nullptr));
        QCOMPARE(readFile(path), old + next);
    }

    void appendToAFullDeviceSaysTheDiskIsFull()
    {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full here");
        // Qt's append tries to go to the end of a device that has none.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("seek"));
        QString reason;
        QVERIFY(!platform::appendWhole(QStringLiteral("/dev/full"), "a@example.jp\r\n", &reason));
        QVERIFY2(reason.startsWith(QStringLiteral("ディスクの空き容量が不足しています")),
                 qPrintable(reason));
    }

    void systemReasonsComeInJapanese()
    {
        platform::useJapaneseSystemMessages();
        QTemporaryDir dir;
        QFile missing(dir.filePath(QStringLiteral("missing.txt")));
        QVERIFY(!missing.open(QIODevice::ReadOnly));
        // Qt keeps this one as a fixed English text; its own translation has it.
        QTranslator qt;
        if (!qt.load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QSKIP("Qt's Japanese translation is not installed");
        QCoreApplication::installTranslator(&qt);
        const QString reason = platform::fileErrorText(missing);
        QCoreApplication::removeTranslator(&qt);
        QVERIFY2(reason != missing.errorString(), qPrintable(reason));
        QVERIFY2(std::any_of(reason.cbegin(), reason.cend(),
                             [](QChar c) { return c.unicode() >= 0x3000; }),
                 qPrintable(reason));
        // Others come from the C library's catalogue.
        QCOMPARE(platform::systemErrorText(EISDIR), QStringLiteral("ディレクトリです"));
    }
};

QTEST_GUILESS_MAIN(TestTextFiles)
#include "test_text_files.moc"
