// The progress of a run: the count of a list's recipients, the time left, the caption.
//
// The count is judged against the lines as the run's reader sees them: the bytes split at
// CR, LF and CR LF, each line decoded on its own by Qt's decoder (code page 932, or UTF-8 after
// a byte-order mark), trimmed, and counted when something is left.
#include "fakes.h"

#include "core/delivery/list_count.h"
#include "core/delivery/progress_text.h"
#include "core/delivery/recipient_list.h"
#include "core/platform/text_files.h"
#include "core/text/trim.h"

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTest>

using testing_support::TempAppDir;

namespace {

const QString kCaption = QStringLiteral("ＫＥＺ－ＭＡＩＬＥＲ　a1.00");

bool decodedLineHoldsRecipient(const QByteArray& line, bool utf8)
{
    QString text;
    if (utf8) {
        text = QString::fromUtf8(line);
    } else {
        QStringDecoder decoder(platform::kCp932);
        text = decoder.decode(line);
    }
    return !compose::Trim(text).isEmpty();
}

qint64 referenceCount(QByteArray bytes)
{
    const bool utf8 = bytes.startsWith("\xEF\xBB\xBF");
    if (utf8)
        bytes.remove(0, 3);
    qint64 count = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= bytes.size(); ++i) {
        if (i == bytes.size() || bytes[i] == '\r' || bytes[i] == '\n') {
            count += decodedLineHoldsRecipient(bytes.mid(start, i - start), utf8) ? 1 : 0;
            start = i + 1;
        }
    }
    return count;
}

// Feeds bytes in pieces of the given sizes, cycling through them.
qint64 countInPieces(const QByteArray& bytes, const QList<int>& sizes)
{
    delivery::RecipientCounter counter;
    qsizetype at = 0;
    for (int i = 0; at < bytes.size(); ++i) {
        const qsizetype n = std::min<qsizetype>(sizes[i % sizes.size()], bytes.size() - at);
        counter.add(QByteArrayView(bytes).sliced(at, n));
        at += n;
    }
    return counter.finish();
}

qint64 countWhole(const QByteArray& bytes)
{
    delivery::RecipientCounter counter;
    counter.add(bytes);
    return counter.finish();
}

QByteArray bytesOf(std::initializer_list<char> bytes)
{
    return QByteArray(std::data(bytes), qsizetype(bytes.size()));
}

QByteArray sjis(const QString& text)
{
    return *platform::encodeCp932(text);
}

} // namespace

class TestRunProgress : public QObject
{
    Q_OBJECT
private slots:
    void countsNonBlankLines_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("empty file") << QByteArray() << qint64(0);
        QTest::newRow("one line without a break") << QByteArray("a@x.jp") << qint64(1);
        QTest::newRow("CR LF") << QByteArray("a@x.jp\r\nb@x.jp\r\n") << qint64(2);
        QTest::newRow("LF only") << QByteArray("a@x.jp\nb@x.jp\nc@x.jp\n") << qint64(3);
        QTest::newRow("CR only") << QByteArray("a@x.jp\rb@x.jp\r") << qint64(2);
        QTest::newRow("mixed ends") << QByteArray("a@x.jp\r\nb@x.jp\nc@x.jp\rd@x.jp") << qint64(4);
        QTest::newRow("partly blank") << QByteArray("a@x.jp\r\n\r\n   \r\n\t\r\nb@x.jp\r\n ") +
                                             QByteArray(1, '\0') + " \r\n\r\n"
                                      << qint64(2);
        QTest::newRow("blanks around an address") << QByteArray(" \t a@x.jp \t\r\n") << qint64(1);
        QTest::newRow("ideographic spaces only, code page 932")
            << sjis("\u3000\u3000\r\n\u3000 \u3000\r\n") << qint64(0);
        QTest::newRow("kanji lines, code page 932")
            << sjis("\u3000山田 <y@x.jp>\r\n、\r\n＝\r\n") << qint64(3);
        // 0x81 0x81 is "＝": its second byte must not start an ideographic space.
        QTest::newRow("trail byte that looks like a lead")
            << QByteArray("\x81\x81\x40\r\n") << qint64(1);
        QTest::newRow("BOM, UTF-8 blanks")
            << (QByteArray("\xEF\xBB\xBF") + QString("\u3000\r\n\u3000a@x.jp\r\n \r\n").toUtf8())
            << qint64(1);
        QTest::newRow("BOM alone") << QByteArray("\xEF\xBB\xBF") << qint64(0);
        // The decoder drops a byte-order mark at the start of any line, not only the first.
        QTest::newRow("BOM at the start of a later line")
            << QByteArray("\xEF\xBB\xBF"
                          "a@x.jp\r\n\xEF\xBB\xBF\r\n \xEF\xBB\xBF\r\n")
            << qint64(2);
        QTest::newRow("BOM and one address") << QByteArray("\xEF\xBB\xBF"
                                                           "a@x.jp")
                                             << qint64(1);
        QTest::newRow("start of a BOM only") << QByteArray("\xEF\xBB") << qint64(1);
        QTest::newRow("UTF-8 cut inside a character")
            << QByteArray("\xEF\xBB\xBF\xE3\x80\r\n") << qint64(1);
        QTest::newRow("lead byte alone at the end") << QByteArray("a@x.jp\r\n\x81") << qint64(1);
    }

    void countsNonBlankLines()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, expected);
        QCOMPARE(referenceCount(bytes), expected); // the judge agrees with the hand count
        QCOMPARE(countWhole(bytes), expected);
        QCOMPARE(countInPieces(bytes, {1}), expected);
        QCOMPARE(countInPieces(bytes, {2, 1, 3}), expected);
    }

    // Every line of one or two bytes, in either encoding, is blank exactly when the decoded
    // and trimmed line is empty; so is every three-byte line that begins like an ideographic
    // space or a byte-order mark.
    void everyShortLineAgreesWithTheDecoder()
    {
        auto check = [](const QByteArray& line, bool utf8) {
            const QByteArray file = (utf8 ? QByteArray("\xEF\xBB\xBF") : QByteArray()) + line;
            const qint64 expected = decodedLineHoldsRecipient(line, utf8) ? 1 : 0;
            if (countWhole(file) != expected)
                return QStringLiteral("%1 line %2: counted %3, decoded %4")
                    .arg(utf8 ? "UTF-8" : "CP932", QString::fromLatin1(line.toHex(' ')))
                    .arg(1 - expected)
                    .arg(expected);
            return QString();
        };
        QStringList mismatches;
        for (bool utf8 : {false, true}) {
            for (int a = 0; a < 256; ++a) {
                if (a == '\r' || a == '\n')
                    continue;
                const QString one = check(QByteArray(1, char(a)), utf8);
                if (!one.isEmpty())
                    mismatches << one;
                for (int b = 0; b < 256; ++b) {
                    if (b == '\r' || b == '\n')
                        continue;
                    const QString two = check(bytesOf({char(a), char(b)}), utf8);
                    if (!two.isEmpty())
                        mismatches << two;
                }
            }
            for (char first : utf8 ? QByteArray("\xE3\xEF") : QByteArray("\x81"))
                for (int b = 0; b < 256; ++b)
                    for (int c = 0; c < 256; ++c)
                        if (b != '\r' && b != '\n' && c != '\r' && c != '\n') {
                            const QString three = check(bytesOf({first, char(b), char(c)}), utf8);
                            if (!three.isEmpty())
                                mismatches << three;
                        }
        }
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.mid(0, 20).join('\n')));
    }

    // Lists made of every kind of piece, split into pieces of every size.
    void randomListsAgreeWithTheDecoder()
    {
        const QList<QByteArray> parts = {"a@x.jp",      " ",        "\t",   QByteArray(1, '\0'),
                                         "\x81\x40",    "\x81\x41", "\x81", "\xE3\x80\x80",
                                         "\xE3\x80",    "\x88\x9F", "\x7F", "\x80",
                                         "\x1C",        "\xA0",     "\xFF", "\xC3\xA9",
                                         "\xEF\xBB\xBF"};
        const QList<QByteArray> ends = {"\r", "\n", "\r\n", "\n\r"};
        QRandomGenerator random(20261207);
        for (int round = 0; round < 400; ++round) {
            QByteArray bytes = random.bounded(4) == 0 ? QByteArray("\xEF\xBB\xBF") : QByteArray();
            const int lines = random.bounded(1, 30);
            for (int i = 0; i < lines; ++i) {
                const int length = random.bounded(0, 5);
                for (int j = 0; j < length; ++j)
                    bytes += parts[random.bounded(int(parts.size()))];
                if (i + 1 < lines || random.bounded(2) == 0)
                    bytes += ends[random.bounded(int(ends.size()))];
            }
            const qint64 expected = referenceCount(bytes);
            QVERIFY2(countWhole(bytes) == expected, bytes.toHex(' ').constData());
            QVERIFY2(countInPieces(bytes, {random.bounded(1, 8), random.bounded(1, 8)}) == expected,
                     bytes.toHex(' ').constData());
        }
    }

    // The run's own reader, which sends one mail per address it reads, agrees with the count
    // on lists made of every kind of piece.
    void agreesWithTheRunsReader()
    {
        const QList<QByteArray> parts = {
            "a@x.jp",   " ",        "\t",   "\x81\x40", "\x81", "\xE3\x80\x80",
            "\xE3\x80", "\x88\x9F", "\x7F", "\x80",     "\x1C", "\xEF\xBB\xBF"};
        const QList<QByteArray> ends = {"\r", "\n", "\r\n"};
        QRandomGenerator random(7);
        TempAppDir app;
        for (int round = 0; round < 300; ++round) {
            QByteArray bytes = random.bounded(3) == 0 ? QByteArray("\xEF\xBB\xBF") : QByteArray();
            const int lines = random.bounded(1, 12);
            for (int i = 0; i < lines; ++i) {
                for (int j = random.bounded(0, 4); j > 0; --j)
                    bytes += parts[random.bounded(int(parts.size()))];
                bytes += ends[random.bounded(int(ends.size()))];
            }
            const QString path = app.write("csv/list.csv", bytes);
            QString reason;
            auto list = delivery::RecipientList::open(path, &reason);
            QVERIFY2(list, qPrintable(reason));
            qint64 read = 0;
            while (list->readAddress())
                ++read;
            QVERIFY(!list->hasError());
            QVERIFY2(delivery::CountRecipients(path) == read, bytes.toHex(' ').constData());
        }
    }

    void countsAFile()
    {
        TempAppDir app;
        // Larger than one read of the counter, with a CR LF across the boundary.
        QByteArray bytes;
        qint64 expected = 0;
        for (int i = 0; bytes.size() < (1 << 20) + 100; ++i) {
            if (i % 7 == 3) {
                bytes += "  \r\n";
            } else {
                bytes += "user" + QByteArray::number(i) + "@example.jp\r\n";
                ++expected;
            }
        }
        const QString path = app.write("csv/big.csv", bytes);
        QCOMPARE(delivery::CountRecipients(path), std::optional<qint64>(expected));

        QString reason;
        QCOMPARE(delivery::CountRecipients(app.file("csv/missing.csv"), &reason), std::nullopt);
        QVERIFY(!reason.isEmpty());
    }

    void remainingTime_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing") << qint64(0) << "1分未満";
        QTest::newRow("29 s") << qint64(29'999) << "1分未満";
        QTest::newRow("30 s rounds to a minute") << qint64(30'000) << "約1分";
        QTest::newRow("49 min 23 s") << qint64(2'963'100) << "約49分";
        QTest::newRow("59 min 29 s") << qint64(3'569'000) << "約59分";
        QTest::newRow("59 min 30 s is an hour") << qint64(3'570'000) << "約1時間";
        QTest::newRow("1 h 5 min") << qint64(3'900'000) << "約1時間5分";
        QTest::newRow("27 h 46 min") << qint64(100'000'000) << "約27時間47分";
    }

    void remainingTime()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        QCOMPARE(delivery::RemainingTimeText(ms), text);
    }

    // What the caption says at a few points of a run, from the list's count and the gaps
    // between mails.
    void captionDuringARun()
    {
        // 10,000 addresses at 300 ms, before the first mail: 50 minutes at the interval.
        {
            delivery::RunEstimate run(10000);
            QCOMPARE(delivery::ProgressCaption(kCaption, 0, 10000, run.remainingMs(300)),
                     QString("ＫＥＺ－ＭＡＩＬＥＲ　a1.00　0/10000　残り約50分"));
        }
        // A list whose lines are partly blank counts its addresses only, and each mail takes
        // the interval plus its own 200 ms: 2 of 5 sent, 500 ms apart.
        {
            TempAppDir app;
            const QString path =
                app.write("csv/list.csv", sjis("a@x.jp\r\n\r\nb@x.jp\r\n  \r\nc@x.jp\r\n\u3000\r\n"
                                               "d@x.jp\r\ne@x.jp\r\n\r\n"));
            const std::optional<qint64> total = delivery::CountRecipients(path);
            QCOMPARE(total, std::optional<qint64>(5));
            delivery::RunEstimate run(*total);
            run.mailSent(1, 10'000);
            run.mailSent(2, 10'500);
            QCOMPARE(run.remainingMs(300), std::optional<qint64>(3 * 500));
            QCOMPARE(delivery::ProgressCaption(kCaption, 2, *total, run.remainingMs(300)),
                     QString("ＫＥＺ－ＭＡＩＬＥＲ　a1.00　2/5　残り1分未満"));
            run.mailSent(5, 12'000);
            // Nothing left: the time is left out.
            QCOMPARE(run.remainingMs(300), std::nullopt);
            QCOMPARE(delivery::ProgressCaption(kCaption, 5, *total, run.remainingMs(300)),
                     QString("ＫＥＺ－ＭＡＩＬＥＲ　a1.00　5/5"));
        }
        // A pause of ten minutes in the middle is one long gap, not the pace of the run.
        {
            delivery::RunEstimate run(10000);
            qint64 now = 0;
            for (int sent = 1; sent <= 6; ++sent) {
                now += sent == 4 ? 600'000 : 1'000;
                run.mailSent(sent, now);
            }
            QCOMPARE(run.remainingMs(1000), std::optional<qint64>(9994 * 1000));
            QCOMPARE(delivery::ProgressCaption(kCaption, 6, 10000, run.remainingMs(1000)),
                     QString("ＫＥＺ－ＭＡＩＬＥＲ　a1.00　6/10000　残り約2時間47分"));
            // A longer interval given with Rtry counts at once.
            QCOMPARE(run.remainingMs(5000), std::optional<qint64>(9994 * 5000));
            // A shorter one once most of the latest gaps are at it.
            for (int sent = 7; sent <= 11; ++sent) {
                now += 100;
                run.mailSent(sent, now);
            }
            QCOMPARE(run.remainingMs(100), std::optional<qint64>(9989 * 100));
        }
        // More mails than the count (the file grew under the run): no time, no failure.
        {
            delivery::RunEstimate run(3);
            run.mailSent(4, 0);
            QCOMPARE(run.remainingMs(300), std::nullopt);
            QCOMPARE(delivery::ProgressCaption(kCaption, 4, 3, std::nullopt),
                     QString("ＫＥＺ－ＭＡＩＬＥＲ　a1.00　4/3"));
        }
    }
};

QTEST_GUILESS_MAIN(TestRunProgress)
#include "test_run_progress.moc"
