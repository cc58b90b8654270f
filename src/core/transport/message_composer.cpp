#include "core/transport/message_composer.h"

#include "core/platform/text_files.h"

#include <QAtomicInteger>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QStringDecoder>

namespace transport {
namespace {

constexpr int kHeaderLineLimit = 78;
constexpr int kEncodedWordLimit = 75;
// "From: " and "Subject: ", the room their names take on the first line.
constexpr int kFromHeadLength = 6;
constexpr int kSubjectHeadLength = 9;
constexpr int kLineLimit = 998;
const QByteArray kCrLf = "\r\n";

// JIS X 0208 as the standard ISO-2022-JP decoders read it (Python's iso2022_jp, iconv, Perl's
// Encode): the character each of its 6879 cells stands for, and back. The cells are taken from
// the code page 932 decoder, rows 1-8 and 16-84 only: row 13 (①, ㈱) and rows 89-92 (髙, ⅰ) are
// Windows additions that those decoders read as nothing or as other kanji. Six cells hold
// different characters in the two worlds; the standard's are the ones a reader shows, so they
// replace Windows' here and the Windows characters (～ U+FF5E among them) have no cell at all.
struct JisTables
{
    QHash<char32_t, quint16> toCell;
    QHash<quint16, char16_t> fromCell;
};

const JisTables& jisTables()
{
    static const JisTables tables = [] {
        JisTables t;
        QStringDecoder decoder(platform::kCp932);
        for (int ku = 1; ku <= 84; ++ku) {
            if (ku >= 9 && ku <= 15)
                continue;
            for (int ten = 1; ten <= 94; ++ten) {
                // Shift_JIS arithmetic: two rows share a lead byte.
                const int lead = (ku + 1) / 2 + (ku <= 62 ? 0x80 : 0xC0);
                const int trail = ku % 2 ? ten + (ten <= 63 ? 0x3F : 0x40) : ten + 0x9E;
                const char bytes[2] = {char(lead), char(trail)};
                const QString u = decoder.decode(QByteArrayView(bytes, 2));
                decoder.resetState();
                if (u.size() != 1 || u.at(0) == QChar::ReplacementCharacter)
                    continue;
                const auto cell = quint16(((ku + 0x20) << 8) | (ten + 0x20));
                t.fromCell.insert(cell, u.at(0).unicode());
            }
        }
        const std::pair<quint16, char16_t> standard[] = {
            {0x2141, 0x301C}, // WAVE DASH, not FULLWIDTH TILDE
            {0x2142, 0x2016}, // DOUBLE VERTICAL LINE, not PARALLEL TO
            {0x215D, 0x2212}, // MINUS SIGN, not FULLWIDTH HYPHEN-MINUS
            {0x2171, 0x00A2}, // CENT SIGN, not FULLWIDTH CENT SIGN
            {0x2172, 0x00A3}, // POUND SIGN, not FULLWIDTH POUND SIGN
            {0x224C, 0x00AC}, // NOT SIGN, not FULLWIDTH NOT SIGN
        };
        for (auto [cell, cp] : standard)
            t.fromCell.insert(cell, cp);
        for (auto it = t.fromCell.cbegin(); it != t.fromCell.cend(); ++it)
            t.toCell.insert(it.value(), it.key());
        return t;
    }();
    return tables;
}

// The strict reading of ISO-2022-JP: ASCII and JIS X 0208 under ESC ( B and ESC $ B, nothing
// else. nullopt for anything a standard decoder would not give back as it was written.
std::optional<QString> decodeIso2022Jp(QByteArrayView bytes)
{
    const JisTables& tables = jisTables();
    QString out;
    bool kanji = false;
    for (qsizetype i = 0; i < bytes.size();) {
        if (bytes.at(i) == '\x1B') {
            const QByteArrayView escape = bytes.sliced(i);
            if (escape.startsWith("\x1B$B"))
                kanji = true;
            else if (escape.startsWith("\x1B(B"))
                kanji = false;
            else
                return std::nullopt;
            i += 3;
            continue;
        }
        if (!kanji) {
            if (uchar(bytes.at(i)) >= 0x80)
                return std::nullopt;
            out += QLatin1Char(bytes.at(i++));
            continue;
        }
        if (i + 1 >= bytes.size())
            return std::nullopt;
        const auto cell = quint16((uchar(bytes.at(i)) << 8) | uchar(bytes.at(i + 1)));
        const auto it = tables.fromCell.constFind(cell);
        if (it == tables.fromCell.constEnd())
            return std::nullopt;
        out += QChar(it.value());
        i += 2;
    }
    if (kanji)
        return std::nullopt;
    return out;
}

bool isPrintableAscii(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return false;
    return true;
}

QByteArray base64Lines(const QByteArray& data)
{
    QByteArray encoded = data.toBase64();
    QByteArray out;
    out.reserve(encoded.size() + encoded.size() / 76 * 2 + 2);
    for (qsizetype i = 0; i < encoded.size(); i += 76) {
        out += encoded.mid(i, 76);
        out += kCrLf;
    }
    return out;
}

// A blank of the text: where a name or subject may be split between two encoded words.
bool isBlank(QStringView point)
{
    return point == u" " || point == u"\t" || point == u"\u3000";
}

// Code points of text, keeping surrogate pairs together.
QList<QStringView> codePoints(QStringView text)
{
    QList<QStringView> out;
    for (qsizetype i = 0; i < text.size();) {
        qsizetype n =
            (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
                ? 2
                : 1;
        out.append(text.mid(i, n));
        i += n;
    }
    return out;
}

QByteArray encodeWordsWithin(const QString& text, MailCharset charset, int usedOnFirstLine,
                             int lineLimit)
{
    if (charset == MailCharset::Iso2022Jp && !survivesIso2022Jp(text))
        charset = MailCharset::Utf8;
    const QByteArray prefix = charset == MailCharset::Iso2022Jp ? QByteArray("=?ISO-2022-JP?B?")
                                                                : QByteArray("=?UTF-8?B?");
    auto raw = [charset](QStringView chunk) {
        return charset == MailCharset::Iso2022Jp ? *encodeIso2022Jp(chunk) : chunk.toUtf8();
    };
    // A word's length grows with each code point added to it; counting the raw octets as they
    // come keeps the split linear instead of encoding every longer candidate afresh. In
    // ISO-2022-JP a run of kanji costs its shift in (3 octets) and the shift back (3 octets).
    struct RawLength
    {
        MailCharset charset;
        qsizetype octets = 0;
        bool kanji = false;

        void add(QStringView point)
        {
            if (charset != MailCharset::Iso2022Jp) {
                octets += point.toUtf8().size();
                return;
            }
            const bool wide = point.at(0).unicode() >= 0x80;
            octets += (wide ? 2 : 1) + (wide != kanji ? 3 : 0);
            kanji = wide;
        }
        qsizetype total() const { return octets + (kanji ? 3 : 0); }
    };
    auto wordLength = [&](const RawLength& length) {
        return prefix.size() + 2 + (length.total() + 2) / 3 * 4;
    };

    QList<QStringView> points = codePoints(text);
    // How many code points from start make one word within room.
    auto fitting = [&](qsizetype start, int room) {
        qsizetype end = start;
        RawLength length{charset};
        while (end < points.size()) {
            length.add(points.at(end));
            if (wordLength(length) > room)
                break;
            ++end;
        }
        return end;
    };
    // Where a word that can't take the rest should end instead: just after the last blank of
    // the text within it, so that the word boundary falls where the text has a blank itself.
    // Readers that (against RFC 2047) show a blank between two encoded words then show it
    // beside one that is there anyway, never inside a word ("第 2課"). 0 when there is none.
    auto afterLastBlank = [&](qsizetype start, qsizetype end) -> qsizetype {
        for (qsizetype i = end; i > start + 1; --i)
            if (isBlank(points.at(i - 1)))
                return i;
        return 0;
    };
    const int freshLineRoom = std::min(lineLimit - 1, kEncodedWordLimit);

    QByteArray out;
    int used = usedOnFirstLine;
    bool firstLine = true;
    qsizetype start = 0;
    while (start < points.size()) {
        bool newLine = !out.isEmpty() && !out.endsWith(' ');
        int room = std::min(lineLimit - (newLine ? 1 : used), kEncodedWordLimit);
        qsizetype end = fitting(start, room);
        if (end < points.size() && end > start && !isBlank(points.at(end))) {
            if (const qsizetype atBlank = afterLastBlank(start, end)) {
                end = atBlank;
            } else if (firstLine && !newLine && room < freshLineRoom) {
                // The first word would have to split a word of the text where a line of its
                // own could take it up to a blank, or whole.
                const qsizetype fresh = fitting(start, freshLineRoom);
                if (fresh == points.size() || afterLastBlank(start, fresh))
                    end = start;
            }
        }
        QStringView chunk;
        if (end > start)
            chunk = QStringView(points.at(start).data(), points.at(end - 1).data() +
                                                             points.at(end - 1).size() -
                                                             points.at(start).data());
        if (end == start) {
            if (firstLine && !newLine) {
                // Not even one character, or not the first word of the text, fits after the
                // header name: start on the next line.
                out += kCrLf + ' ';
                used = 1;
                firstLine = false;
                continue;
            }
            // Cannot happen with a line of 78: one character takes at most 26 octets.
            chunk = points.at(start);
            end = start + 1;
        }
        if (newLine) {
            out += kCrLf + ' ';
            used = 1;
        }
        QByteArray word = prefix + raw(chunk).toBase64() + "?=";
        out += word;
        used += int(word.size());
        firstLine = false;
        start = end;
    }
    return out;
}

bool isAtomText(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           QByteArrayView("!#$%&'*+-/=?^_`{|}~").contains(c);
}

// An ASCII name as an RFC 5322 phrase: its words as atoms where they are atoms, else one quoted
// string, which also keeps runs of blanks that a reader would close up between atoms.
QByteArray asciiPhrase(const QString& name)
{
    QByteArray phrase = name.toLatin1();
    bool quote = phrase.contains("  ");
    for (char c : phrase)
        quote = quote || (c != ' ' && !isAtomText(c));
    if (!quote)
        return phrase;
    phrase.replace('\\', "\\\\");
    phrase.replace('"', "\\\"");
    return '"' + phrase + '"';
}

// head + text, with a line break before each blank whose word would pass 78 columns. A word too
// long for a line keeps a line of its own; a line of nothing but a blank is never made.
QByteArray foldAtBlanks(const QByteArray& head, const QByteArray& text)
{
    QByteArray out = head;
    qsizetype lineStart = 0;
    const QList<QByteArray> words = text.split(' ');
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QByteArray piece = i == 0 ? words.at(i) : ' ' + words.at(i);
        const qsizetype used = out.size() - lineStart;
        if (i > 0 && used + piece.size() > kHeaderLineLimit && used > 1) {
            out += kCrLf;
            lineStart = out.size();
        }
        out += piece;
    }
    return out;
}

qsizetype longestLine(const QByteArray& text)
{
    qsizetype longest = 0;
    for (const QByteArray& line : text.split('\n'))
        longest = std::max(longest, line.size() - (line.endsWith('\r') ? 1 : 0));
    return longest;
}

// From: with the display name as readers show it. A plain ASCII name goes as a phrase folded at
// its blanks: as encoded words it would come out with a blank added at each fold in some readers
// and look like spam to others. Encoded words carry the rest, and the rare ASCII name that holds
// "=?" (which readers would take for the start of an encoded word) or a word too long for any
// line.
QByteArray fromHeader(const QString& name, const QString& address, MailCharset charset)
{
    const QByteArray head = "From: ";
    const QByteArray angle = '<' + address.toUtf8() + '>';
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return head + address.toUtf8();
    if (isPrintableAscii(trimmed) && !trimmed.contains(QLatin1String("=?"))) {
        const QByteArray folded = foldAtBlanks(head, asciiPhrase(trimmed) + ' ' + angle);
        if (longestLine(folded) <= kLineLimit)
            return folded;
    }
    QByteArray out = head + encodeWordsWithin(trimmed, charset, int(head.size()), kHeaderLineLimit);
    qsizetype lastLine = out.size() - (out.lastIndexOf('\n') + 1);
    if (lastLine + 1 + angle.size() > kHeaderLineLimit)
        out += kCrLf;
    return out + ' ' + angle;
}

QByteArray subjectHeader(const QString& subject, MailCharset charset)
{
    const QByteArray head = "Subject: ";
    if (isPrintableAscii(subject) && !subject.contains(QLatin1String("=?")) &&
        head.size() + subject.size() <= kHeaderLineLimit)
        return head + subject.toLatin1();
    return head + encodeWordsWithin(subject, charset, int(head.size()), kHeaderLineLimit);
}

QByteArray dateHeader(const QDateTime& date)
{
    int offset = date.offsetFromUtc() / 60;
    QByteArray zone = offset < 0 ? "-" : "+";
    offset = std::abs(offset);
    zone += QByteArray::number(offset / 60).rightJustified(2, '0') +
            QByteArray::number(offset % 60).rightJustified(2, '0');
    return "Date: " +
           QLocale::c().toString(date, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss ")).toLatin1() +
           zone;
}

thread_local QString composedMessageId;

QByteArray messageIdHeader(const QString& fromAddress, const QDateTime& date)
{
    static QAtomicInteger<quint32> counter;
    QString domain = fromAddress.mid(fromAddress.lastIndexOf(QLatin1Char('@')) + 1);
    if (!fromAddress.contains(QLatin1Char('@')) || domain.isEmpty())
        domain = QStringLiteral("kezmailer.invalid");
    QByteArray left = QByteArray::number(date.toMSecsSinceEpoch(), 36) + '.' +
                      QByteArray::number(QRandomGenerator::system()->generate64(), 36) + '.' +
                      QByteArray::number(counter.fetchAndAddRelaxed(1) + 1);
    const QByteArray id = '<' + left + '@' + domain.toUtf8() + '>';
    composedMessageId = QString::fromUtf8(id);
    return "Message-ID: " + id;
}

// Body lines with CR LF, whatever line ends the text had; a text that does not end with a
// line end gets one.
QStringList bodyLines(const QString& body)
{
    QString text = body;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() > 1 && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// Content-Type and Content-Transfer-Encoding lines plus the blank line and the text.
QByteArray textPart(const QString& body, MailCharset charset)
{
    QStringList lines = bodyLines(body);
    if (charset == MailCharset::Iso2022Jp) {
        QByteArray text;
        bool longLine = false;
        for (const QString& line : lines) {
            QByteArray encoded = *encodeIso2022Jp(line);
            longLine = longLine || encoded.size() > kLineLimit;
            text += encoded + kCrLf;
        }
        QByteArray head = "Content-Type: text/plain; charset=ISO-2022-JP\r\n";
        // A line too long for 7bit keeps its charset and travels in base64 instead of being
        // broken up.
        if (longLine)
            return head + "Content-Transfer-Encoding: base64\r\n\r\n" + base64Lines(text);
        return head + "Content-Transfer-Encoding: 7bit\r\n\r\n" + text;
    }
    QByteArray text = lines.join(QLatin1String("\r\n")).toUtf8() + kCrLf;
    return "Content-Type: text/plain; charset=UTF-8\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" +
           base64Lines(text);
}

// Content-Type: of an attachment, whose parameters follow on lines of their own. A type too long
// to share the line with the header name (the .docx type is 71 characters) starts on the next.
QByteArray typeHeader(const QByteArray& mimeType)
{
    const QByteArray head = "Content-Type:";
    if (head.size() + 1 + mimeType.size() + 1 <= kHeaderLineLimit)
        return head + ' ' + mimeType;
    return head + kCrLf + ' ' + mimeType;
}

bool isAttributeChar(uchar c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           QByteArrayView("!#$&+-.^_`|~").contains(char(c));
}

// "; name=..." for Content-Type and "; filename..." for Content-Disposition.
std::pair<QByteArray, QByteArray> nameParameters(const QString& fileName)
{
    if (isPrintableAscii(fileName) && !fileName.contains(QLatin1Char('"')) &&
        !fileName.contains(QLatin1Char('\\')) && !fileName.contains(QLatin1String("=?")) &&
        fileName.size() <= 60) {
        QByteArray quoted = '"' + fileName.toLatin1() + '"';
        return {";\r\n name=" + quoted, ";\r\n filename=" + quoted};
    }
    QByteArray name = ";\r\n name=\"" +
                      encodeWordsWithin(fileName, MailCharset::Utf8, 7, kHeaderLineLimit - 1) + '"';

    // RFC 2231, split into numbered sections that keep each line within 78 characters and
    // never split a character's %XX triplets.
    QList<QByteArray> pieces;
    for (QStringView point : codePoints(fileName)) {
        QByteArray piece;
        for (uchar c : point.toUtf8())
            piece += isAttributeChar(c)
                         ? QByteArray(1, char(c))
                         : '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        pieces.append(piece);
    }
    QByteArray whole = "UTF-8''" + pieces.join();
    if (1 + 10 + whole.size() + 1 <= kHeaderLineLimit)
        return {name, ";\r\n filename*=" + whole};
    QByteArray disposition;
    int section = 0;
    qsizetype i = 0;
    while (i < pieces.size()) {
        QByteArray line = " filename*" + QByteArray::number(section) + "*=";
        if (section == 0)
            line += "UTF-8''";
        while (i < pieces.size() && line.size() + pieces.at(i).size() + 1 <= kHeaderLineLimit)
            line += pieces.at(i++);
        disposition += ";\r\n" + line;
        ++section;
    }
    return {name, disposition};
}

} // namespace

std::optional<QByteArray> encodeIso2022Jp(QStringView text)
{
    const QHash<char32_t, quint16>& table = jisTables().toCell;
    QByteArray out;
    out.reserve(text.size() * 2);
    bool kanji = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char16_t c = text.at(i).unicode();
        if (c < 0x80) {
            // NUL and the shift/escape codes would break the 7-bit stream.
            if (c == 0x00 || c == 0x0E || c == 0x0F || c == 0x1B)
                return std::nullopt;
            if (kanji) {
                out += "\x1B(B";
                kanji = false;
            }
            out += char(c);
            continue;
        }
        auto it = table.constFind(char32_t(c));
        if (QChar::isSurrogate(c) || it == table.constEnd())
            return std::nullopt;
        if (!kanji) {
            out += "\x1B$B";
            kanji = true;
        }
        out += char(it.value() >> 8);
        out += char(it.value() & 0xFF);
    }
    if (kanji)
        out += "\x1B(B";
    return out;
}

bool survivesIso2022Jp(QStringView text)
{
    const std::optional<QByteArray> bytes = encodeIso2022Jp(text);
    if (!bytes)
        return false;
    const std::optional<QString> back = decodeIso2022Jp(*bytes);
    return back && *back == text;
}

MailCharset chooseCharset(const QString& subject, const QString& name, const QString& body)
{
    if (!survivesIso2022Jp(subject) || !survivesIso2022Jp(name) || !survivesIso2022Jp(body))
        return MailCharset::Utf8;
    // ISO-2022-JP spends six octets on each switch between kanji and ASCII, so a text that
    // switches often can need more words in it than in UTF-8; and each boundary between two
    // words of a name is a place where some readers show a blank of their own.
    auto words = [](const QString& text, MailCharset charset, int used) {
        return isPrintableAscii(text)
                   ? 0
                   : encodeWordsWithin(text, charset, used, kHeaderLineLimit).count("?B?");
    };
    const qsizetype jis = words(name.trimmed(), MailCharset::Iso2022Jp, kFromHeadLength) +
                          words(subject, MailCharset::Iso2022Jp, kSubjectHeadLength);
    const qsizetype utf8 = words(name.trimmed(), MailCharset::Utf8, kFromHeadLength) +
                           words(subject, MailCharset::Utf8, kSubjectHeadLength);
    return utf8 < jis ? MailCharset::Utf8 : MailCharset::Iso2022Jp;
}

QByteArray encodeWords(const QString& text, MailCharset charset, int usedOnFirstLine)
{
    return encodeWordsWithin(text, charset, usedOnFirstLine, kHeaderLineLimit);
}

QStringList splitAttachmentList(const QString& attachments)
{
    QStringList out;
    for (const QString& entry : attachments.split(QLatin1Char(','))) {
        QString path = entry.trimmed();
        if (!path.isEmpty())
            out.append(path);
    }
    return out;
}

QString lastComposedMessageId()
{
    return composedMessageId;
}

std::optional<QByteArray> composeMessage(const OutgoingMail& mail, QString* error)
{
    composedMessageId.clear();
    struct Attachment
    {
        QString fileName;
        QByteArray mimeType;
        QByteArray data;
    };
    QList<Attachment> attachments;
    QMimeDatabase mimeDatabase;
    for (const QString& path : mail.attachmentPaths) {
        QFileInfo info(path);
        if (!info.exists()) {
            *error = QStringLiteral("添付ファイルが見つかりません: %1").arg(path);
            return std::nullopt;
        }
        if (!info.isFile()) {
            *error = QStringLiteral("添付ファイルがファイルではありません: %1").arg(path);
            return std::nullopt;
        }
        // Checked again on what is opened: the name may have become a FIFO since, and opening
        // one would hold the transport's thread.
        QFile file;
        QString reason;
        if (!platform::openRegularFile(file, path, &reason)) {
            *error = QStringLiteral("添付ファイルを読み込めません: %1 (%2)").arg(path, reason);
            return std::nullopt;
        }
        QByteArray data = file.readAll();
        if (file.error() != QFileDevice::NoError || data.size() != file.size()) {
            *error = QStringLiteral("添付ファイルを読み込めません: %1 (%2)")
                         .arg(path, file.errorString());
            return std::nullopt;
        }
        attachments.append({info.fileName(), mimeDatabase.mimeTypeForFile(info).name().toLatin1(),
                            std::move(data)});
    }

    MailCharset charset = chooseCharset(mail.subject, mail.fromName, mail.body);
    QByteArray out;
    out += dateHeader(mail.date) + kCrLf;
    out += fromHeader(mail.fromName, mail.fromAddress, charset) + kCrLf;
    out += "To: " + mail.toAddress.toUtf8() + kCrLf;
    out += subjectHeader(mail.subject, charset) + kCrLf;
    out += messageIdHeader(mail.fromAddress, mail.date) + kCrLf;
    out += "MIME-Version: 1.0\r\n";
    for (const QByteArray& field : mail.extraHeaders)
        out += field + kCrLf;

    if (attachments.isEmpty()) {
        out += textPart(mail.body, charset);
        return out;
    }

    QByteArray boundary = "=_kez_" +
                          QByteArray::number(QRandomGenerator::system()->generate64(), 16) +
                          QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    out += "Content-Type: multipart/mixed;\r\n boundary=\"" + boundary + "\"\r\n\r\n";
    out += "This is a multi-part message in MIME format.\r\n";
    // The line end before a delimiter belongs to the delimiter: each part gets one of its own
    // so that the text keeps its last line end.
    out += "--" + boundary + kCrLf + textPart(mail.body, charset) + kCrLf;
    for (const Attachment& attachment : attachments) {
        auto [name, filename] = nameParameters(attachment.fileName);
        out += "--" + boundary + kCrLf;
        out += typeHeader(attachment.mimeType) + name + kCrLf;
        out += "Content-Disposition: attachment" + filename + kCrLf;
        out += "Content-Transfer-Encoding: base64\r\n\r\n";
        out += base64Lines(attachment.data) + kCrLf;
    }
    out += "--" + boundary + "--\r\n";
    return out;
}

} // namespace transport
