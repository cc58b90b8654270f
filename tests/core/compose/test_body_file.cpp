#include "fakes.h"

#include "core/compose/body_file.h"
#include "core/platform/text_files.h"

#include <QTest>

using testing_support::TempAppDir;

class TestBodyFile : public QObject
{
    Q_OBJECT
private slots:
    void everyLineEndsWithCrLf_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("body");
        QTest::newRow("empty line, no final end")
            << QByteArray("a\r\n\r\nb") << QString("a\r\n\r\nb\r\n");
        QTest::newRow("empty file") << QByteArray() << QString();
        QTest::newRow("lone CR ends a line") << QByteArray("a\rb\r") << QString("a\r\nb\r\n");
        QTest::newRow("lone LF stays inside its line")
            << QByteArray("a\nb\r\n") << QString("a\nb\r\n");
        QTest::newRow("only a line end") << QByteArray("\r\n") << QString("\r\n");
    }
    void everyLineEndsWithCrLf()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, body);
        TempAppDir app;
        const QString path = app.write("txt/body.txt", bytes);
        QString reason;
        const std::optional<QString> loaded = compose::loadBodyFile(path, &reason);
        QVERIFY2(loaded.has_value(), qPrintable(reason));
        QCOMPARE(*loaded, body);
    }

    void encodings()
    {
        TempAppDir app;
        const QString text = QStringLiteral("日本語の本文ｶﾅ①\r\n二行目");
        const QString expected = QStringLiteral("日本語の本文ｶﾅ①\r\n二行目\r\n");

        const std::optional<QByteArray> sjis = platform::encodeCp932(text);
        QVERIFY(sjis.has_value());
        QVERIFY(!platform::isValidUtf8(*sjis));
        QCOMPARE(compose::loadBodyFile(app.write("txt/sjis.txt", *sjis), nullptr), expected);

        QCOMPARE(compose::loadBodyFile(app.write("txt/utf8.txt", text.toUtf8()), nullptr),
                 expected);
        // The byte-order mark is not part of the body.
        QCOMPARE(compose::loadBodyFile(
                     app.write("txt/bom.txt", QByteArray("\xEF\xBB\xBF") + text.toUtf8()), nullptr),
                 expected);
    }

    void unreadableFilesGiveAReason()
    {
        TempAppDir app;
        QString reason;
        QVERIFY(!compose::loadBodyFile(app.file("txt/missing.txt"), &reason));
        QVERIFY(!reason.isEmpty());
        reason.clear();
        QVERIFY(!compose::loadBodyFile(app.file("txt"), &reason));
        QVERIFY(!reason.isEmpty());
    }

    void editorLineBreaksBecomeCrLf()
    {
        QCOMPARE(compose::bodyWithCrLf("a\n\nb\n"), QString("a\r\n\r\nb\r\n"));
        QCOMPARE(compose::bodyWithCrLf(QString("a") + QChar::ParagraphSeparator + "b" +
                                       QChar::LineSeparator + "c"),
                 QString("a\r\nb\r\nc"));
        QCOMPARE(compose::bodyWithCrLf("a\r\nb\rc"), QString("a\r\nb\r\nc"));
        QCOMPARE(compose::bodyWithCrLf(QString()), QString());
    }

    void attachmentRule()
    {
        QCOMPARE(compose::appendAttachment(QString(), "/x/a.pdf"), QString("/x/a.pdf"));
        QCOMPARE(compose::appendAttachment("/x/a.pdf", "/x/b c.png"),
                 QString("/x/a.pdf,/x/b c.png"));
        // Blanks alone are dropped; anything else is kept as it stands, spaces included.
        QCOMPARE(compose::appendAttachment(" \t ", "/x/a.pdf"), QString("/x/a.pdf"));
        QCOMPARE(compose::appendAttachment(" /x/a.pdf ", "/x/b"), QString(" /x/a.pdf ,/x/b"));
    }
};

QTEST_GUILESS_MAIN(TestBodyFile)
#include "test_body_file.moc"
