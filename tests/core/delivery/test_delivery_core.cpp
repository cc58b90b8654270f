// The widget-free parts of a delivery: log lines and their files, the recipient list's start
// test and line reading, and the resume interval.
#include "fakes.h"

#include "core/delivery/delivery_log.h"
#include "core/delivery/recipient_list.h"
#include "core/delivery/resume_interval.h"
#include "core/platform/text_files.h"
#include "core/transport/nmail_transport.h"

#include <QFile>
#include <QTest>

#include <sys/stat.h>

using testing_support::ScopedFakeClock;
using testing_support::TempAppDir;

namespace {

// Every line of a list as the run reads them, untrimmed.
QStringList readAll(delivery::RecipientList& list)
{
    QStringList lines;
    while (!list.atEnd()) {
        const std::optional<QString> line = list.readLine();
        if (!line)
            break;
        lines << *line;
    }
    return lines;
}

} // namespace

class TestDeliveryCore : public QObject
{
    Q_OBJECT
private slots:
    void stampAndLines()
    {
        QCOMPARE(delivery::LogStamp(QDateTime(QDate(2026, 12, 6), QTime(1, 56, 16))),
                 QString("26/12/06 01:56:16"));
        QCOMPARE(delivery::LogStamp(QDateTime(QDate(2000, 1, 9), QTime(23, 5, 0))),
                 QString("00/01/09 23:05:00"));
        {
            ScopedFakeClock clock(QDateTime(QDate(2031, 7, 4), QTime(9, 8, 7)));
            QCOMPARE(delivery::LogStampNow(), QString("31/07/04 09:08:07"));
        }

        const QString stamp = "26/12/06 01:56:16";
        QCOMPARE(delivery::SendLogLine("a@example.jp", stamp),
                 QString("a@example.jp,26/12/06 01:56:16"));
        // An empty list line gives an empty address field.
        QCOMPARE(delivery::SendLogLine("", stamp), QString(",26/12/06 01:56:16"));
        // A comma inside a field is written as it stands.
        QCOMPARE(delivery::SendLogLine("a@example.jp,山田", stamp),
                 QString("a@example.jp,山田,26/12/06 01:56:16"));

        // The error text is trimmed of the buffer's filler; its field comes first.
        QString buffer = QString(" 550 5.1.1 ユーザー不明 ") + QString(3, QChar(u'\0'));
        buffer += QString(8192 - buffer.size(), QLatin1Char(' '));
        const QString text = transport::ErrorTextOfBuffer(buffer);
        QCOMPARE(text, QString(" 550 5.1.1 ユーザー不明 "));
        QCOMPARE(delivery::ErrorLogLine(text, "b@example.jp", stamp),
                 QString("550 5.1.1 ユーザー不明,b@example.jp,26/12/06 01:56:16"));
        QCOMPARE(delivery::ErrorLogLine(buffer, "b@example.jp", stamp),
                 QString("550 5.1.1 ユーザー不明,b@example.jp,26/12/06 01:56:16"));
        QCOMPARE(delivery::ErrorLogLine("", "b@example.jp", stamp),
                 QString(",b@example.jp,26/12/06 01:56:16"));
        QCOMPARE(transport::ErrorTextOfBuffer(QString(5, QChar(u'\0'))), QString());
    }

    void switchesOnlyAtOne()
    {
        QVERIFY(delivery::LogSwitchOn(1));
        QVERIFY(!delivery::LogSwitchOn(0));
        QVERIFY(!delivery::LogSwitchOn(2));
        QVERIFY(!delivery::LogSwitchOn(-1));
    }

    void appendsInCp932WithCrLf()
    {
        TempAppDir app;
        const QString path = app.write("log/send.log", "old line\r\n");
        QVERIFY(delivery::AppendLogLine(path, "山田@example.jp,26/12/06 01:56:16", nullptr));
        QVERIFY(delivery::AppendLogLine(path, ",26/12/06 01:56:17", nullptr));
        QByteArray expected = "old line\r\n" +
                              *platform::encodeCp932("山田@example.jp,26/12/06 01:56:16") +
                              "\r\n,26/12/06 01:56:17\r\n";
        QCOMPARE(app.read("log/send.log"), expected);

        // A missing file is created.
        QVERIFY(delivery::AppendLogLine(app.file("log/new.log"), "x", nullptr));
        QCOMPARE(app.read("log/new.log"), QByteArray("x\r\n"));
    }

    // The logs list recipients' addresses: nobody but the owner may read them, whatever the
    // umask, and a log left open to others by an earlier version is closed at its next line.
    void logsAreOwnerOnly_data()
    {
        QTest::addColumn<int>("modeBefore"); // -1: no file yet
        QTest::newRow("new file") << -1;
        QTest::newRow("open to all") << 0644;
        QTest::newRow("open to the group") << 0660;
        QTest::newRow("writable by all") << 0666;
        QTest::newRow("owner-only already") << 0600;
    }

    void logsAreOwnerOnly()
    {
        QFETCH(int, modeBefore);
        TempAppDir app;
        const QString path = app.file("log/send.log");
        if (modeBefore >= 0) {
            app.write("log/send.log", "old line\r\n");
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(modeBefore)), 0);
        }
        const mode_t oldMask = ::umask(0);
        const bool written =
            delivery::AppendLogLine(path, "a@example.jp,26/12/06 01:56:16", nullptr);
        ::umask(oldMask);
        QVERIFY(written);
        struct stat st
        {
        };
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 07777), 0600);
        QVERIFY(app.read("log/send.log").endsWith("a@example.jp,26/12/06 01:56:16\r\n"));
    }

    void appendFailuresGiveTheReason()
    {
        TempAppDir app;
        // A missing folder: nothing is created, and the reason says why.
        const QString missing = app.file("nofolder/send.log");
        QString reason;
        QVERIFY(!delivery::AppendLogLine(missing, "a,b", &reason));
        QVERIFY(!reason.isEmpty());
        QVERIFY(!QFile::exists(missing));

        // An empty path, and a folder in place of the file.
        for (const QString& bad : {QString(), app.file("log")}) {
            reason.clear();
            QVERIFY(!delivery::AppendLogLine(bad, "a,b", &reason));
            QVERIFY(!reason.isEmpty());
        }

        // A character code page 932 cannot hold is no failure: it goes as a reference.
        const QString path = app.file("log/err.log");
        QVERIFY(delivery::AppendLogLine(path, QString("😀@example.jp,26/12/06 01:56:16"), nullptr));
        QCOMPARE(app.read("log/err.log"), QByteArray("&#128512;@example.jp,26/12/06 01:56:16\r\n"));
    }

    void listLines()
    {
        TempAppDir app;
        QString reason;
        {
            // The BOM is not part of the first address, and the list then reads as UTF-8.
            const QString path =
                app.write("csv/bom.csv",
                          QByteArray("\xEF\xBB\xBF") + QString("先頭@x.jp\r\nb@x.jp").toUtf8());
            auto list = delivery::RecipientList::open(path, &reason);
            QVERIFY(list);
            QCOMPARE(list->hasAddress(&reason), std::optional<bool>(true));
            QCOMPARE(readAll(*list), QStringList({"先頭@x.jp", "b@x.jp"}));
        }
        {
            const QByteArray bytes =
                *platform::encodeCp932(" 山田 <y@x.jp>, 様 \r\n\r\nc@x.jp\r\r\n");
            const QString path = app.write("csv/sjis.csv", bytes);
            auto list = delivery::RecipientList::open(path, &reason);
            QVERIFY(list);
            QCOMPARE(list->hasAddress(&reason), std::optional<bool>(true));
            QCOMPARE(readAll(*list), QStringList({" 山田 <y@x.jp>, 様 ", "", "c@x.jp", ""}));
            QVERIFY(list->atEnd());
            QCOMPARE(list->readLine(), std::nullopt);
        }
    }

    // What the run reads as recipients: blank lines are none, any line end ends a line, and a
    // list with no address at all says so before anything starts.
    void listAddresses_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("addresses");
        QTest::newRow("blank lines between and around")
            << QByteArray("\r\n  \r\n\t\r\n a@x.jp \r\n") + QStringLiteral("　").toUtf8() +
                   "\r\n\r\nb@x.jp\r\n \r\n\r\n"
            << QStringList{"a@x.jp", "b@x.jp"};
        QTest::newRow("lf line ends")
            << QByteArray("a@x.jp\nb@x.jp\n\nc@x.jp") << QStringList{"a@x.jp", "b@x.jp", "c@x.jp"};
        QTest::newRow("one address") << QByteArray("a@x.jp\r\n") << QStringList{"a@x.jp"};
        QTest::newRow("one address, no line end") << QByteArray("a@x.jp") << QStringList{"a@x.jp"};
        QTest::newRow("empty") << QByteArray() << QStringList{};
        QTest::newRow("blank lines only")
            << QByteArray(10000, '\n') + QByteArray(" \t\r\n \r") << QStringList{};
        QTest::newRow("bom and blank lines only")
            << QByteArray("\xEF\xBB\xBF\r\n \r\n") << QStringList{};
    }

    void listAddresses()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, addresses);
        TempAppDir app;
        // The ideographic space above is the list's own code page.
        bytes.replace(QStringLiteral("　").toUtf8(), *platform::encodeCp932(QStringLiteral("　")));
        const QString path = app.write("csv/list.csv", bytes);
        QString reason;
        auto list = delivery::RecipientList::open(path, &reason);
        QVERIFY2(list, qPrintable(reason));
        QCOMPARE(list->hasAddress(&reason), std::optional<bool>(!addresses.isEmpty()));

        QStringList read;
        while (!list->noAddressLeft()) {
            const std::optional<QString> address = list->readAddress();
            QVERIFY(address.has_value());
            read << *address;
        }
        QCOMPARE(read, addresses);
        QCOMPARE(list->readAddress(), std::nullopt);
        QVERIFY(!list->hasError());
    }

    // List content goes into the error log. Whatever control characters the address field
    // holds, the record stays one line of the file, with no control byte in it.
    void errorLogRecordIsOneLine()
    {
        TempAppDir app;
        const QString path = app.write("log/error.log", "old,x,26/12/07 11:05:07\r\n");
        QString address = QStringLiteral("a@x.jp\nRCPT TO:<b@x.jp>");
        address += QChar(0);
        address += QStringLiteral("\x1b[31m\r\x7f");
        const QString line = delivery::ErrorLogLine(QStringLiteral("宛先アドレスが不正です"),
                                                    address, QStringLiteral("26/12/07 11:05:08"));
        QVERIFY(delivery::AppendLogLine(path, line, nullptr));

        // Two records, each ended by CR LF, and nothing else.
        const QList<QByteArray> records = app.read("log/error.log").split('\n');
        QCOMPARE(records.size(), 3);
        QCOMPARE(records.at(2), QByteArray());
        QVERIFY(records.at(1).endsWith('\r'));
        const QByteArray record = records.at(1).chopped(1);
        for (char c : record)
            QVERIFY2(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f,
                     record.toHex().constData());
        QCOMPARE(platform::decodeCp932(record),
                 QStringLiteral("宛先アドレスが不正です,a@x.jp\\x0ARCPT TO:<b@x.jp>\\x00"
                                "\\x1B[31m\\x0D\\x7F,26/12/07 11:05:08"));
    }

    void listThatCannotBeOpened()
    {
        TempAppDir app;
        QString reason;
        QVERIFY(!delivery::RecipientList::open(app.file("csv/missing.csv"), &reason));
        QVERIFY(!reason.isEmpty());

        // A folder opens on some systems and then fails to read; either way it does not start.
        reason.clear();
        auto list = delivery::RecipientList::open(app.file("csv"), &reason);
        if (list) {
            QCOMPARE(list->hasAddress(&reason), std::nullopt);
        }
        QVERIFY(!reason.isEmpty());
    }

    void resumeInterval_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::addColumn<qint64>("ms");
        QTest::newRow("plain") << "100" << 100.0 << qint64(100);
        QTest::newRow("half down to even") << "150.5" << 150.5 << qint64(150);
        QTest::newRow("half up to even") << "151.5" << 151.5 << qint64(152);
        QTest::newRow("trailing letters") << "120abc" << 120.0 << qint64(120);
        QTest::newRow("blanks around") << " \t300 " << 300.0 << qint64(300);
        QTest::newRow("letters first") << "abc120" << 0.0 << qint64(0);
        QTest::newRow("empty") << "" << 0.0 << qint64(0);
        QTest::newRow("negative") << "-200" << -200.0 << qint64(-200);
        QTest::newRow("above 65535") << "100000" << 100000.0 << qint64(100000);
        QTest::newRow("above 32 bits") << "5000000000" << 5e9 << qint64(5000000000);
    }

    void resumeInterval()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QFETCH(qint64, ms);
        QCOMPARE(delivery::ResumeIntervalValue(text), value);
        QCOMPARE(delivery::ResumeIntervalMs(delivery::ResumeIntervalValue(text)), ms);
    }

    void hugeIntervalSaturates()
    {
        // Never wraps to a small or negative interval.
        QCOMPARE(delivery::ResumeIntervalMs(delivery::ResumeIntervalValue(QString(30, '9'))),
                 std::numeric_limits<qint64>::max());
    }
};

QTEST_GUILESS_MAIN(TestDeliveryCore)
#include "test_delivery_core.moc"
