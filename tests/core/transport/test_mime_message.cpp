// The composed message: charsets, encoded words, folding, line lengths and attachments. Text in
// ISO-2022-JP is read back with glibc's iconv, one of the standard decoders a mail reader uses,
// and the strict charset rule is held against Python's, Perl's and iconv's codecs character by
// character.
#include "core/transport/message_composer.h"

#include <QMimeDatabase>
#include <QProcess>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

#include <iconv.h>

#include <set>

using transport::MailCharset;
Q_DECLARE_METATYPE(transport::MailCharset)

namespace {

// bytes from one charset to another with glibc's iconv; nullopt where iconv refuses (no
// transliteration, no substitution).
std::optional<QByteArray> iconvConvert(const QByteArray& bytes, const char* from, const char* to)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1))
        return std::nullopt;
    QByteArray out(bytes.size() * 8 + 16, Qt::Uninitialized);
    char* in = const_cast<char*>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    char* outPtr = out.data();
    size_t outLeft = size_t(out.size());
    const bool ok = iconv(cd, &in, &inLeft, &outPtr, &outLeft) != size_t(-1) &&
                    iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != size_t(-1);
    iconv_close(cd);
    if (!ok)
        return std::nullopt;
    out.truncate(out.size() - qsizetype(outLeft));
    return out;
}

// ISO-2022-JP -> text as iconv reads it; a marker that matches no text where it can't.
QString decodeJis(const QByteArray& bytes, bool* endsInAscii = nullptr)
{
    if (endsInAscii) {
        const qsizetype escape = bytes.lastIndexOf('\x1B');
        *endsInAscii = escape < 0 || bytes.mid(escape, 3) == "\x1B(B";
    }
    const std::optional<QByteArray> utf8 = iconvConvert(bytes, "ISO-2022-JP", "UTF-8");
    return utf8 ? QString::fromUtf8(*utf8) : QStringLiteral("<iconv refused the bytes>");
}

// The code points (from U+0020, the BMP and two beyond) that a codec outside this program
// encodes in ISO-2022-JP with no escapes but ESC $ B and ESC ( B and decodes back unchanged.
std::set<char32_t> roundTripSet(const QString& program, const QStringList& args)
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        qWarning().noquote() << program << process.readAllStandardError();
        return {};
    }
    std::set<char32_t> out;
    for (const QByteArray& hex : process.readAllStandardOutput().split('\n'))
        if (!hex.trimmed().isEmpty())
            out.insert(char32_t(hex.trimmed().toUInt(nullptr, 16)));
    return out;
}

QList<char32_t> candidateCodePoints()
{
    QList<char32_t> out;
    for (char32_t cp = 0x20; cp < 0x10000; ++cp)
        if (cp < 0xD800 || cp > 0xDFFF)
            out.append(cp);
    out << 0x1F600 << 0x20BB7; // 😀, 𠮷
    return out;
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
            // A value may start on the line after the header name.
            QByteArray& value = parsed.headers[name];
            value = value.isEmpty() ? line.trimmed() : value + line;
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

const char kPythonRoundTrip[] = R"(
cps = [c for c in range(0x20, 0x10000) if not 0xD800 <= c <= 0xDFFF] + [0x1F600, 0x20BB7]
for cp in cps:
    ch = chr(cp)
    try:
        b = ch.encode("iso2022_jp")
    except UnicodeEncodeError:
        continue
    escapes = {b[i:i + 3] for i in range(len(b)) if b[i] == 0x1B}
    if escapes <= {b"\x1b$B", b"\x1b(B"} and b.decode("iso2022_jp") == ch:
        print("%X" % cp)
)";

const char kPerlRoundTrip[] = R"(
use Encode;
no warnings;
my $keep = Encode::FB_CROAK | Encode::LEAVE_SRC;
for my $cp ((0x20 .. 0xD7FF), (0xE000 .. 0xFFFF), 0x1F600, 0x20BB7) {
    my $ch = chr($cp);
    my $b = eval { Encode::encode("iso-2022-jp", $ch, $keep) };
    next unless defined $b;
    next if grep { $_ ne "\e\$B" && $_ ne "\e(B" } ($b =~ /(\e..)/g);
    my $back = eval { Encode::decode("iso-2022-jp", $b, $keep) };
    printf "%X\n", $cp if defined $back && $back eq $ch;
}
)";

// The first code points that are in only one of the two sets.
QString differences(const std::set<char32_t>& ours, const std::set<char32_t>& theirs)
{
    QStringList onlyOurs;
    QStringList onlyTheirs;
    for (char32_t cp : ours)
        if (!theirs.count(cp) && onlyOurs.size() < 20)
            onlyOurs << QString::number(cp, 16);
    for (char32_t cp : theirs)
        if (!ours.count(cp) && onlyTheirs.size() < 20)
            onlyTheirs << QString::number(cp, 16);
    return QStringLiteral("only ours: %1; only theirs: %2")
        .arg(onlyOurs.join(' '), onlyTheirs.join(' '));
}

} // namespace

class TestMimeMessage : public QObject
{
    Q_OBJECT

private slots:
    // Every character taken into ISO-2022-JP is one that Python's iso2022_jp, Perl's Encode and
    // iconv all write with ESC $ B / ESC ( B alone and read back unchanged, and every such
    // character is taken; iconv writes it with the same bytes.
    void strictIso2022JpAgreesWithTheStandardCodecs()
    {
        std::set<char32_t> ours;
        std::set<char32_t> iconvSet;
        QStringList byteMismatches;
        static const QRegularExpression otherEscape(QStringLiteral("\x1B(?!\\$B|\\(B)"));
        for (char32_t cp : candidateCodePoints()) {
            // Not QString::fromUcs4(&cp, 1): it takes U+FEFF for a byte-order mark and drops it.
            const QString ch = QStringView(QChar::fromUcs4(cp)).toString();
            const std::optional<QByteArray> mine = transport::encodeIso2022Jp(ch);
            if (mine)
                ours.insert(cp);
            const std::optional<QByteArray> theirs =
                iconvConvert(ch.toUtf8(), "UTF-8", "ISO-2022-JP");
            if (!theirs || QString::fromLatin1(*theirs).contains(otherEscape) ||
                iconvConvert(*theirs, "ISO-2022-JP", "UTF-8") != ch.toUtf8())
                continue;
            iconvSet.insert(cp);
            if (mine && *mine != *theirs)
                byteMismatches << QString::number(cp, 16);
        }
        QVERIFY2(byteMismatches.isEmpty(), qPrintable(byteMismatches.join(' ')));
        const std::set<char32_t> python =
            roundTripSet(QStringLiteral("/usr/bin/python3"),
                         {QStringLiteral("-c"), QString::fromLatin1(kPythonRoundTrip)});
        const std::set<char32_t> perl =
            roundTripSet(QStringLiteral("/usr/bin/perl"),
                         {QStringLiteral("-e"), QString::fromLatin1(kPerlRoundTrip)});
        // ASCII and the 6879 characters of JIS X 0208.
        QVERIFY2(python.size() > 6900, "the Python judge did not run");
        QVERIFY2(ours == python, qPrintable(differences(ours, python)));
        QVERIFY2(ours == perl, qPrintable(differences(ours, perl)));
        QVERIFY2(ours == iconvSet, qPrintable(differences(ours, iconvSet)));
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

    // The characters Japanese business mail is full of: those outside strict JIS X 0208 make the
    // whole mail UTF-8 wherever they stand; their standard twins keep it ISO-2022-JP.
    void charsetFollowsTheStrictRoundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<MailCharset>("charset");
        const struct
        {
            const char* row;
            QString text;
        } outside[] = {
            {"NEC row 13", QStringLiteral("①⑳㈱㈲№Ⅰ∑")},
            {"IBM extensions", QStringLiteral("髙﨑德ⅰⅱ")},
            {"fullwidth tilde", QStringLiteral("9:00～17:00")},
            {"Windows forms of JIS cells", QStringLiteral("－∥￠￡￢")},
            {"half-width katakana", QStringLiteral("ｶﾀｶﾅ")},
            {"emoji", QStringLiteral("よろしく😀")},
            {"hangul", QStringLiteral("안녕")},
            {"yen sign of JIS X 0201", QStringLiteral("¥100")},
            {"escape", QStringLiteral("a\x1B(Jb")},
        };
        for (const auto& row : outside)
            QTest::newRow(row.row) << row.text << MailCharset::Utf8;
        QTest::newRow("wave dash and the standard twins")
            << QStringLiteral("9:00〜17:00 ‖−¢£¬") << MailCharset::Iso2022Jp;
        QTest::newRow("plain JIS X 0208")
            << QStringLiteral("高橋　崎山　徳川 ＼―") << MailCharset::Iso2022Jp;
    }

    void charsetFollowsTheStrictRoundTrip()
    {
        QFETCH(QString, text);
        QFETCH(MailCharset, charset);
        QCOMPARE(bool(transport::encodeIso2022Jp(text)), charset == MailCharset::Iso2022Jp);
        const QString subject = QStringLiteral("件名");
        const QString name = QStringLiteral("名前");
        const QString body = QStringLiteral("本文");
        QCOMPARE(transport::chooseCharset(subject, name, text), charset);
        QCOMPARE(transport::chooseCharset(text, name, body), charset);
        QCOMPARE(transport::chooseCharset(subject, text, body), charset);
    }

    void iso2022JpMessageDecodesToTheOriginal()
    {
        const QString subject = QStringLiteral("[テスト配信] 高橋のお知らせ 9:00〜17:00");
        const QString name = QStringLiteral("株式会社　高橋");
        const QString body = QStringLiteral("高橋様\r\n本日は‖−¢£¬＼の件です。\r\n\r\nabc\r\n");
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

    // ASCII names go as RFC 5322 phrases, never as encoded words, quoted where an atom can't
    // carry them, and folded at their blanks so that unfolding gives them back.
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
        QTest::newRow("two blanks")
            << QStringLiteral("Taro  Yamada") << QByteArray("\"Taro  Yamada\" <taro@example.jp>");
        QTest::newRow("empty") << QString() << QByteArray("taro@example.jp");
        const QString words = QStringLiteral("Customer Support Team of the Example Trading Company "
                                             "Limited, Tokyo Head Office, Sales Division");
        QTest::newRow("long, folded")
            << QString(words).remove(QLatin1Char(','))
            << QString(words).remove(QLatin1Char(',')).toLatin1() + " <taro@example.jp>";
        QTest::newRow("long and quoted, folded")
            << words << '"' + words.toLatin1() + "\" <taro@example.jp>";
        const QString longWord = QString(QLatin1Char('x')).repeated(90);
        QTest::newRow("a word longer than a line")
            << QStringLiteral("Mr ") + longWord
            << QStringLiteral("Mr ").toLatin1() + longWord.toLatin1() + " <taro@example.jp>";
    }

    void asciiNamesAreQuotedOnlyWithSpecials()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, from);
        Parsed parsed = parse(compose(mail(QStringLiteral("Hello"), name, QStringLiteral("x"))));
        QCOMPARE(parsed.headers["from"], from);
        QCOMPARE(parsed.headers["subject"], QByteArray("Hello"));
        bool inFrom = false;
        for (QByteArray line : parsed.headerLines) {
            line.chop(1); // CR
            inFrom = line.startsWith("From:") || (inFrom && line.startsWith(' '));
            if (inFrom && !line.contains("xxxxxxxx"))
                QVERIFY2(line.size() <= 78, line.constData());
            QVERIFY2(!inFrom || line.trimmed().size() > 0, "a blank line inside From:");
        }
    }

    // A sender name of plain kanji and the address fit 78 columns at every length of name, as
    // written and as Python's email reads the name back (RFC 2047 and its newer reading).
    void fromLinesOfKanjiNamesStayWithin78Columns()
    {
        const QString kanji = QStringLiteral("山田商事株式会社東京本社営業部第一課長代理");
        QTemporaryDir dir;
        QStringList files;
        QStringList names;
        // Addresses of eight lengths in a row, so that some name brings the line to each
        // length around 78 (an encoded word grows four columns at a time).
        QStringList addresses;
        for (int local = 1; local <= 8; ++local)
            addresses << QString(local, QLatin1Char('t')) + QStringLiteral("@example.jp");
        for (const QString& address : addresses) {
            for (int length = 1; length <= 60; ++length) {
                const QString name = kanji.repeated(3).left(length);
                transport::OutgoingMail m =
                    mail(QStringLiteral("件名"), name, QStringLiteral("本文"));
                m.fromAddress = address;
                const QByteArray message = compose(m);
                bool inFrom = false;
                for (QByteArray line : parse(message).headerLines) {
                    line.chop(1); // CR
                    inFrom = line.startsWith("From:") || (inFrom && line.startsWith(' '));
                    QVERIFY2(!inFrom || line.size() <= 78,
                             qPrintable(QStringLiteral("%1 kanji, %2 columns: %3")
                                            .arg(length)
                                            .arg(line.size())
                                            .arg(QString::fromLatin1(line))));
                }
                files << dir.filePath(QStringLiteral("%1-%2.eml").arg(files.size()).arg(length));
                QFile out(files.last());
                QVERIFY(out.open(QIODevice::WriteOnly));
                out.write(message);
                names << name + QLatin1Char('|') + m.fromAddress;
            }
        }
        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"),
                     QStringList{QStringLiteral("-c"), QString::fromUtf8(R"(
import email, email.header, email.policy, email.utils, sys
for path in sys.argv[1:]:
    raw = open(path, "rb").read()
    name, address = email.utils.parseaddr(email.message_from_bytes(raw)["From"])
    rfc = "".join(c if isinstance(c, str) else c.decode(cs or "ascii")
                  for c, cs in email.header.decode_header(name))
    modern = email.message_from_bytes(raw, policy=email.policy.default)["From"].addresses[0]
    print(rfc + "|" + address + "|" + modern.display_name + "|" + modern.addr_spec)
)")} + files);
        QVERIFY(python.waitForFinished(60000));
        QCOMPARE(python.exitCode(), 0);
        const QStringList read = QString::fromUtf8(python.readAllStandardOutput()).split('\n');
        QVERIFY(read.size() > names.size());
        for (qsizetype i = 0; i < names.size(); ++i) {
            QCOMPARE(read.at(i).section('|', 0, 1), names.at(i));
            // The newer reading shows a blank at each boundary between two words of a name: a
            // name of one run of kanji then comes apart, which it does past one word's worth.
            if (read.at(i).section('|', 0, 0).size() <= 18)
                QCOMPARE(read.at(i).section('|', 2, 3), names.at(i));
        }
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
            QStringLiteral("plain.txt"), QStringLiteral("見積書 2026年12月.pdf"),
            QStringLiteral("とても長い添付ファイルの名前を付けてみましたがきちんと届くでしょうか確"
                           "認用ｶﾅ😀.csv"),
            QStringLiteral("提案書①髙.docx"), // a MIME type of 71 characters
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
            for (const QByteArray& line : part.headerLines)
                QVERIFY2(line.size() <= 78 + 1, line.constData()); // + CR
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
