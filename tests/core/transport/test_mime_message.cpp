// The composed message: charsets, encoded words, folding, line lengths and attachments, each
// decoded back with a small decoder of the test's own and compared with the original text.
#include "core/transport/message_composer.h"

#include <QMimeDatabase>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

using transport::MailCharset;

namespace {

// ISO-2022-JP -> text, going through Shift_JIS so that it does not share the encoder's table.
QString decodeJis(const QByteArray& bytes, bool* endsInAscii = nullptr)
{
    QByteArray sjis;
    bool kanji = false;
    for (qsizetype i = 0; i < bytes.size();) {
        if (bytes.mid(i, 3) == "\x1B$B") {
            kanji = true;
            i += 3;
        } else if (bytes.mid(i, 3) == "\x1B(B") {
            kanji = false;
            i += 3;
        } else if (kanji) {
            int ku = uchar(bytes.at(i)) - 0x20;
            int ten = uchar(bytes.at(i + 1)) - 0x20;
            int pair = (ku - 1) / 2;
            sjis += char(pair + (pair < 31 ? 0x81 : 0xC1));
            if (ku % 2)
                sjis += char(ten + (ten <= 63 ? 0x3F : 0x40));
            else
                sjis += char(ten + 0x9E);
            i += 2;
        } else {
            sjis += bytes.at(i++);
        }
    }
    if (endsInAscii)
        *endsInAscii = !kanji;
    QStringDecoder decoder("Shift_JIS");
    return decoder.decode(sjis);
}

struct Word
{
    QByteArray charset;
    QByteArray raw;
};

QList<Word> encodedWords(const QByteArray& value)
{
    static const QRegularExpression pattern(QStringLiteral("=\\?([^?]+)\\?B\\?([^?]*)\\?="));
    QList<Word> out;
    auto it = pattern.globalMatch(QString::fromLatin1(value));
    while (it.hasNext()) {
        auto match = it.next();
        out.append({match.captured(1).toLatin1().toUpper(),
                    QByteArray::fromBase64(match.captured(2).toLatin1())});
    }
    return out;
}

// Each word decoded on its own (as RFC 2047 demands), then joined.
QString decodeWords(const QByteArray& value)
{
    QString out;
    for (const Word& word : encodedWords(value)) {
        if (word.charset == "ISO-2022-JP") {
            out += decodeJis(word.raw);
        } else {
            QStringDecoder decoder(QStringDecoder::Utf8);
            out += decoder.decode(word.raw);
        }
    }
    return out;
}

struct Parsed
{
    QByteArrayList headerLines;           // as written, folded
    QMap<QByteArray, QByteArray> headers; // name (lower case) -> unfolded value
    QByteArray body;
};

Parsed parse(const QByteArray& message)
{
    Parsed parsed;
    qsizetype end = message.indexOf("\r\n\r\n");
    parsed.body = message.mid(end + 4);
    parsed.headerLines = message.left(end).split('\n');
    QByteArray name;
    for (QByteArray line : parsed.headerLines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith(' ')) {
            parsed.headers[name] += line;
            continue;
        }
        qsizetype colon = line.indexOf(':');
        name = line.left(colon).toLower();
        parsed.headers[name] = line.mid(colon + 1).trimmed();
    }
    return parsed;
}

QByteArray compose(const transport::OutgoingMail& mail)
{
    QString error;
    auto message = transport::composeMessage(mail, &error);
    if (!message)
        qWarning("%s", qPrintable(error));
    return message.value_or(QByteArray());
}

transport::OutgoingMail mail(const QString& subject, const QString& name, const QString& body)
{
    transport::OutgoingMail m;
    m.fromName = name;
    m.fromAddress = QStringLiteral("taro@example.jp");
    m.toAddress = QStringLiteral("hanako@example.com");
    m.subject = subject;
    m.body = body;
    m.date = QDateTime(QDate(2026, 12, 7), QTime(15, 4, 5), QTimeZone(9 * 3600));
    return m;
}

void checkLines(const QByteArray& message)
{
    qsizetype start = 0;
    while (start < message.size()) {
        qsizetype lf = message.indexOf('\n', start);
        QVERIFY2(lf > start && message.at(lf - 1) == '\r', "a line end is not CR LF");
        QVERIFY2(lf - 1 - start <= 998, "a line is longer than 998 octets");
        QVERIFY2(message.indexOf('\r', start) == lf - 1, "a lone CR");
        start = lf + 1;
    }
}

} // namespace

class TestMimeMessage : public QObject
{
    Q_OBJECT

private slots:
    void windowsCharactersGetTheirJisCodes()
    {
        // ① and ㈱ from NEC row 13, 髙 from the NEC-selected IBM rows, as Windows writes them.
        auto bytes = transport::encodeIso2022Jp(QStringLiteral("①㈱髙"));
        QVERIFY(bytes);
        QCOMPARE(*bytes, QByteArray("\x1B$B\x2D\x21\x2D\x6A\x7C\x62\x1B(B"));
        QCOMPARE(*transport::encodeIso2022Jp(QStringLiteral("Aあ～B")),
                 QByteArray("A\x1B$B\x24\x22\x21\x41\x1B(BB"));
    }

    void standardTextMatchesTheSystemEncoder()
    {
        const QString text = QStringLiteral(
            "日本語のメール配信テスト、漢字・ひらがな・カタカナ（全角）ＡＢＣ１２３。end");
        QStringEncoder system("ISO-2022-JP");
        QByteArray expected = system.encode(text);
        QVERIFY(!system.hasError());
        QCOMPARE(*transport::encodeIso2022Jp(text), expected);
    }

    void charactersOutsideJisForceUtf8_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("half-width katakana") << QStringLiteral("ｶﾀｶﾅ");
        QTest::newRow("emoji") << QStringLiteral("よろしく😀");
        QTest::newRow("hangul") << QStringLiteral("안녕");
        QTest::newRow("escape") << QStringLiteral("a\x1B(Jb");
    }

    void charactersOutsideJisForceUtf8()
    {
        QFETCH(QString, text);
        QVERIFY(!transport::encodeIso2022Jp(text));
        QCOMPARE(transport::chooseCharset(QStringLiteral("件名"), QStringLiteral("名前"), text),
                 MailCharset::Utf8);
        QCOMPARE(transport::chooseCharset(text, QStringLiteral("名前"), QStringLiteral("本文")),
                 MailCharset::Utf8);
        QCOMPARE(transport::chooseCharset(QStringLiteral("件名"), text, QStringLiteral("本文")),
                 MailCharset::Utf8);
    }

    void iso2022JpMessageDecodesToTheOriginal()
    {
        const QString subject = QStringLiteral("[テスト配信] ①㈱髙橋のお知らせ");
        const QString name = QStringLiteral("株式会社　髙橋");
        const QString body = QStringLiteral("髙橋様\r\n①本日は㈱の件です。\r\n\r\nabc\r\n");
        const QByteArray message = compose(mail(subject, name, body));
        checkLines(message);
        for (char c : message)
            QVERIFY2(uchar(c) < 0x80, "an 8-bit octet in a 7bit message");
        Parsed parsed = parse(message);
        QCOMPARE(parsed.headers["content-type"], QByteArray("text/plain; charset=ISO-2022-JP"));
        QCOMPARE(parsed.headers["content-transfer-encoding"], QByteArray("7bit"));
        QCOMPARE(parsed.headers["mime-version"], QByteArray("1.0"));
        QCOMPARE(decodeWords(parsed.headers["subject"]), subject);
        QCOMPARE(decodeWords(parsed.headers["from"]), name);
        QVERIFY(parsed.headers["from"].endsWith(" <taro@example.jp>"));
        QCOMPARE(decodeJis(parsed.body), body);
        QCOMPARE(parsed.headers["date"], QByteArray("Mon, 07 Dec 2026 15:04:05 +0900"));
    }

    void utf8MessageKeepsHalfWidthKatakanaAndEmoji()
    {
        const QString subject = QStringLiteral("ｾｰﾙのお知らせ😀");
        const QString name = QStringLiteral("ﾔﾏﾀﾞ");
        const QString body = QStringLiteral("ｱｲｳｴｵ\nカタカナ😀\r最後");
        const QByteArray message = compose(mail(subject, name, body));
        checkLines(message);
        Parsed parsed = parse(message);
        QCOMPARE(parsed.headers["content-type"], QByteArray("text/plain; charset=UTF-8"));
        QCOMPARE(parsed.headers["content-transfer-encoding"], QByteArray("base64"));
        QCOMPARE(decodeWords(parsed.headers["subject"]), subject);
        QCOMPARE(decodeWords(parsed.headers["from"]), name);
        QCOMPARE(QString::fromUtf8(QByteArray::fromBase64(parsed.body)),
                 QStringLiteral("ｱｲｳｴｵ\r\nカタカナ😀\r\n最後\r\n"));
    }

    void asciiNamesAreQuotedOnlyWithSpecials_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("from");
        QTest::newRow("plain") << QStringLiteral("Taro Yamada")
                               << QByteArray("Taro Yamada <taro@example.jp>");
        QTest::newRow("comma") << QStringLiteral("Yamada, Taro")
                               << QByteArray("\"Yamada, Taro\" <taro@example.jp>");
        QTest::newRow("quote") << QStringLiteral("Taro \"T\" Y.")
                               << QByteArray("\"Taro \\\"T\\\" Y.\" <taro@example.jp>");
        QTest::newRow("empty") << QString() << QByteArray("taro@example.jp");
    }

    void asciiNamesAreQuotedOnlyWithSpecials()
    {
        QFETCH(QString, name);
        Parsed parsed = parse(compose(mail(QStringLiteral("Hello"), name, QStringLiteral("x"))));
        QTEST(parsed.headers["from"], "from");
        QCOMPARE(parsed.headers["subject"], QByteArray("Hello"));
    }

    void longSubjectsFoldWithoutSplittingAnything_data()
    {
        QTest::addColumn<QString>("subject");
        QTest::newRow("kanji")
            << QStringLiteral("①髙") +
                   QString(QStringLiteral("日本語の件名をとても長く書きますabc")).repeated(6);
        QTest::newRow("alternating") << QString(QStringLiteral("aあbいcう")).repeated(30);
        QTest::newRow("emoji") << QString(QStringLiteral("絵文字😀ｶﾅ")).repeated(25);
        QTest::newRow("long ascii") << QString(QStringLiteral("word")).repeated(40);
    }

    void longSubjectsFoldWithoutSplittingAnything()
    {
        QFETCH(QString, subject);
        const QByteArray message =
            compose(mail(subject, QStringLiteral("名前"), QStringLiteral("本文")));
        checkLines(message);
        Parsed parsed = parse(message);
        int subjectLines = 0;
        bool inSubject = false;
        for (QByteArray line : parsed.headerLines) {
            line.chop(1); // CR
            inSubject = line.startsWith("Subject:") || (inSubject && line.startsWith(' '));
            if (!inSubject)
                continue;
            ++subjectLines;
            QVERIFY2(line.size() <= 78, line.constData());
        }
        QVERIFY(subjectLines > 2);
        const QList<Word> words = encodedWords(parsed.headers["subject"]);
        for (const Word& word : words) {
            QVERIFY(word.raw.toBase64().size() + word.charset.size() + 7 <= 75);
            if (word.charset == "ISO-2022-JP") {
                bool endsInAscii = false;
                QString part = decodeJis(word.raw, &endsInAscii);
                QVERIFY2(endsInAscii, "a word ends inside a kanji sequence");
                QVERIFY(!part.contains(QChar::ReplacementCharacter));
            } else {
                QStringDecoder decoder(QStringDecoder::Utf8);
                decoder.decode(word.raw);
                QVERIFY2(!decoder.hasError(), "a word splits a UTF-8 character");
                QVERIFY(!QString::fromUtf8(word.raw).isEmpty());
                QVERIFY(!QString::fromUtf8(word.raw).front().isLowSurrogate());
                QVERIFY(!QString::fromUtf8(word.raw).back().isHighSurrogate());
            }
        }
        QCOMPARE(decodeWords(parsed.headers["subject"]), subject);
    }

    void foldingRespectsTheRoomLeftOnTheFirstLine()
    {
        const QString text = QStringLiteral("漢字かな交じりの長い表示名です").repeated(3);
        for (int used : {0, 6, 9, 40, 70, 77}) {
            const QByteArray value = transport::encodeWords(text, MailCharset::Iso2022Jp, used);
            const QByteArrayList lines = value.split('\n');
            QVERIFY(used + lines.first().size() - (lines.size() > 1 ? 1 : 0) <= 78);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                QVERIFY(lines.at(i).startsWith(' '));
                QVERIFY(lines.at(i).trimmed().size() + 1 <= 78);
            }
            QCOMPARE(decodeWords(value), text);
        }
    }

    // Each word takes as many characters as fit: one more would overflow the 75-octet word or
    // the line it starts on.
    void encodedWordsAreFilledAsFarAsTheyFit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("charset");
        QTest::newRow("alternating jis")
            << QString(QStringLiteral("aあbいcう")).repeated(30) << int(MailCharset::Iso2022Jp);
        QTest::newRow("runs jis") << QString(QStringLiteral("漢字abcかなdef")).repeated(20)
                                  << int(MailCharset::Iso2022Jp);
        QTest::newRow("utf8 mixed")
            << QString(QStringLiteral("絵😀aｶﾅé")).repeated(20) << int(MailCharset::Utf8);
    }

    void encodedWordsAreFilledAsFarAsTheyFit()
    {
        QFETCH(QString, text);
        QFETCH(int, charset);
        const int used = 9;
        const QList<Word> words =
            encodedWords(transport::encodeWords(text, MailCharset(charset), used));
        QVERIFY(words.size() > 2);
        qsizetype consumed = 0;
        for (qsizetype i = 0; i < words.size(); ++i) {
            const Word& word = words.at(i);
            const QString part =
                word.charset == "ISO-2022-JP" ? decodeJis(word.raw) : QString::fromUtf8(word.raw);
            QCOMPARE(text.mid(consumed, part.size()), part);
            consumed += part.size();
            if (i + 1 == words.size())
                break;
            const qsizetype next = text.at(consumed).isHighSurrogate() ? 2 : 1;
            const QString longer = part + text.mid(consumed, next);
            const QByteArray raw = word.charset == "ISO-2022-JP"
                                       ? *transport::encodeIso2022Jp(longer)
                                       : longer.toUtf8();
            const qsizetype length = word.charset.size() + 7 + (raw.size() + 2) / 3 * 4;
            const int room = i == 0 ? 78 - used : 75;
            QVERIFY2(length > room, qPrintable(part));
        }
        QCOMPARE(consumed, text.size());
    }

    void longBodyLinesStayUnder998Octets_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QByteArray>("charset");
        QTest::newRow("ascii") << QString(QLatin1Char('x')).repeated(2500)
                               << QByteArray("ISO-2022-JP");
        QTest::newRow("kanji") << QString(QStringLiteral("漢")).repeated(700)
                               << QByteArray("ISO-2022-JP");
        QTest::newRow("utf-8") << QString(QStringLiteral("ｶ")).repeated(700) << QByteArray("UTF-8");
    }

    void longBodyLinesStayUnder998Octets()
    {
        QFETCH(QString, line);
        QFETCH(QByteArray, charset);
        const QString body = QStringLiteral("先頭\r\n") + line + QStringLiteral("\r\n末尾\r\n");
        const QByteArray message = compose(mail(QStringLiteral("件名"), QString(), body));
        checkLines(message);
        Parsed parsed = parse(message);
        QCOMPARE(parsed.headers["content-type"], "text/plain; charset=" + charset);
        QCOMPARE(parsed.headers["content-transfer-encoding"], QByteArray("base64"));
        const QByteArray raw = QByteArray::fromBase64(parsed.body);
        QCOMPARE(charset == "UTF-8" ? QString::fromUtf8(raw) : decodeJis(raw), body);
    }

    void attachmentNamesFollowRfc2231AndRfc2047()
    {
        QTemporaryDir dir;
        const QStringList names = {
            QStringLiteral("plain.txt"),
            QStringLiteral("見積書 2026年12月.pdf"),
            QStringLiteral("とても長い添付ファイルの名前を付けてみましたがきちんと届くでしょうか確"
                           "認用ｶﾅ😀.csv"),
        };
        QStringList paths;
        for (const QString& name : names) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(name.toUtf8() + QByteArray(300, '\xff'));
            paths.append(file.fileName());
        }
        transport::OutgoingMail m = mail(QStringLiteral("件名"), QString(), QStringLiteral("本文"));
        m.attachmentPaths = paths;
        const QByteArray message = compose(m);
        checkLines(message);
        Parsed top = parse(message);
        QVERIFY(top.headers["content-type"].startsWith("multipart/mixed;"));
        const QByteArray boundary = top.headers["content-type"].split('"').value(1);
        QVERIFY(!boundary.isEmpty());
        QByteArrayList parts;
        const QByteArray delimiter = "--" + boundary;
        for (qsizetype from = 0;;) {
            qsizetype at = top.body.indexOf(delimiter, from);
            // The CR LF before a delimiter belongs to the delimiter.
            QByteArray part = top.body.mid(from, at < 0 ? -1 : at - from);
            if (at >= 0 && !parts.isEmpty()) {
                QVERIFY(part.endsWith("\r\n"));
                part.chop(2);
            }
            parts.append(part);
            if (at < 0)
                break;
            from = at + delimiter.size();
        }
        QCOMPARE(parts.size(), 2 + 1 + names.size()); // preamble, text, files, epilogue
        QVERIFY(parts.last().startsWith("--"));
        QCOMPARE(decodeJis(parse(parts.at(1).mid(2)).body), QStringLiteral("本文\r\n"));
        QMimeDatabase mimeDatabase;
        for (int i = 0; i < names.size(); ++i) {
            Parsed part = parse(parts.at(2 + i).mid(2));
            const QByteArray type = part.headers["content-type"];
            QVERIFY2(
                type.startsWith(mimeDatabase.mimeTypeForFile(paths.at(i)).name().toLatin1() + ';'),
                type.constData());
            // name= as encoded words (or plain ASCII).
            QByteArray nameValue = type.mid(type.indexOf("name=") + 5);
            QString decodedName = nameValue.contains("=?")
                                      ? decodeWords(nameValue)
                                      : QString::fromLatin1(nameValue.mid(1, nameValue.size() - 2));
            QCOMPARE(decodedName, names.at(i));
            // filename / filename* (with numbered sections when long).
            const QByteArray disposition = part.headers["content-disposition"];
            QByteArray joined;
            static const QRegularExpression section(
                QStringLiteral("filename\\*(?:\\d+\\*)?=([^;]+)"));
            auto it = section.globalMatch(QString::fromLatin1(disposition));
            while (it.hasNext())
                joined += it.next().captured(1).trimmed().toLatin1();
            QString fileName;
            if (joined.isEmpty()) {
                QByteArray plain = disposition.mid(disposition.indexOf("filename=") + 9);
                fileName = QString::fromLatin1(plain.mid(1, plain.size() - 2));
            } else {
                QVERIFY(joined.startsWith("UTF-8''"));
                fileName = QString::fromUtf8(QByteArray::fromPercentEncoding(joined.mid(7)));
            }
            QCOMPARE(fileName, names.at(i));
            QCOMPARE(part.headers["content-transfer-encoding"], QByteArray("base64"));
            QCOMPARE(QByteArray::fromBase64(part.body),
                     names.at(i).toUtf8() + QByteArray(300, '\xff'));
        }
    }

    void attachmentListIgnoresBlankEntries()
    {
        QCOMPARE(transport::splitAttachmentList(QStringLiteral(" , /a/b.txt,, ,/c d.pdf ,")),
                 (QStringList{"/a/b.txt", "/c d.pdf"}));
        QVERIFY(transport::splitAttachmentList(QStringLiteral("  ")).isEmpty());
    }

    void unreadableAttachmentFailsNamingTheFile()
    {
        QTemporaryDir dir;
        transport::OutgoingMail m = mail(QStringLiteral("件名"), QString(), QStringLiteral("本文"));
        m.attachmentPaths = {dir.filePath(QStringLiteral("ない.txt"))};
        QString error;
        QVERIFY(!transport::composeMessage(m, &error));
        QVERIFY2(error.contains(m.attachmentPaths.first()), qPrintable(error));

        m.attachmentPaths = {dir.path()};
        QVERIFY(!transport::composeMessage(m, &error));
        QVERIFY2(error.contains(dir.path()), qPrintable(error));
    }

    void attachmentWithoutReadPermissionFails()
    {
        QTemporaryDir dir;
        transport::OutgoingMail m = mail(QStringLiteral("件名"), QString(), QStringLiteral("本文"));
        QString error;
        QFile locked(dir.filePath(QStringLiteral("locked.txt")));
        QVERIFY(locked.open(QIODevice::WriteOnly));
        locked.close();
        locked.setPermissions(QFileDevice::Permissions());
        if (QFile(locked.fileName()).open(QIODevice::ReadOnly))
            QSKIP("running as a user who reads any file");
        m.attachmentPaths = {locked.fileName()};
        QVERIFY(!transport::composeMessage(m, &error));
        QVERIFY2(error.contains(locked.fileName()), qPrintable(error));
    }

    void messageIdsAreUniqueAndCarryTheSendersDomain()
    {
        transport::OutgoingMail m = mail(QStringLiteral("件名"), QString(), QStringLiteral("本文"));
        m.fromAddress = QStringLiteral("taro@xn--wgv71a.jp");
        const QByteArray first = parse(compose(m)).headers["message-id"];
        const QByteArray second = parse(compose(m)).headers["message-id"];
        QVERIFY(first != second);
        QVERIFY2(first.startsWith('<') && first.endsWith("@xn--wgv71a.jp>"), first.constData());
    }
};

QTEST_GUILESS_MAIN(TestMimeMessage)
#include "test_mime_message.moc"
