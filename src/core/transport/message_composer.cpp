#include "core/transport/message_composer.h"

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
constexpr int kLineLimit = 998;
const QByteArray kCrLf = "\r\n";

// Unicode -> JIS row/cell (both + 0x20), built from the code page 932 decoder so that every
// character Windows users type maps the way Windows maps it. Walking the codes in order keeps
// the first code of a character: standard JIS X 0208 rows before NEC row 13, before the
// NEC-selected IBM rows 89-92. The IBM extension block (0xFA-0xFC) and user-defined area
// (0xF0-0xF9) have no place in ISO-2022-JP and are not walked; their characters are reached
// through rows 89-92 instead (髙 0xFBFC -> 0xEEE0).
const QHash<char32_t, quint16>& jisTable()
{
    static const QHash<char32_t, quint16> table = [] {
        QHash<char32_t, quint16> t;
        QStringDecoder decoder("Shift_JIS");
        auto walkLead = [&](int s1) {
            for (int s2 = 0x40; s2 <= 0xFC; ++s2) {
                if (s2 == 0x7F)
                    continue;
                const char bytes[2] = {char(s1), char(s2)};
                QString u = decoder.decode(QByteArrayView(bytes, 2));
                decoder.resetState();
                if (u.size() != 1 || u.at(0) == QChar::ReplacementCharacter)
                    continue;
                int rowPair = (s1 <= 0x9F ? s1 - 0x81 : s1 - 0xC1) * 2;
                int ku, ten;
                if (s2 >= 0x9F) {
                    ku = rowPair + 2;
                    ten = s2 - 0x9E;
                } else {
                    ku = rowPair + 1;
                    ten = s2 - (s2 >= 0x80 ? 0x40 : 0x3F);
                }
                char32_t cp = u.at(0).unicode();
                if (!t.contains(cp))
                    t.insert(cp, quint16(((ku + 0x20) << 8) | (ten + 0x20)));
            }
        };
        for (int s1 = 0x81; s1 <= 0x9F; ++s1)
            walkLead(s1);
        for (int s1 = 0xE0; s1 <= 0xEE; ++s1)
            walkLead(s1);
        // The same cells as the JIS standard names them (what non-Windows systems type).
        const std::pair<char32_t, quint16> aliases[] = {
            {0x301C, 0x2141}, {0x2016, 0x2142}, {0x2212, 0x215D},
            {0x00A2, 0x2171}, {0x00A3, 0x2172}, {0x00AC, 0x224C},
        };
        for (auto [cp, jis] : aliases)
            if (!t.contains(cp))
                t.insert(cp, jis);
        return t;
    }();
    return table;
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
    if (charset == MailCharset::Iso2022Jp && !encodeIso2022Jp(text))
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
    QByteArray out;
    int used = usedOnFirstLine;
    bool firstLine = true;
    qsizetype start = 0;
    while (start < points.size()) {
        bool newLine = !out.isEmpty() && !out.endsWith(' ');
        int room = std::min(lineLimit - (newLine ? 1 : used), kEncodedWordLimit);
        qsizetype end = start;
        RawLength length{charset};
        while (end < points.size()) {
            length.add(points.at(end));
            if (wordLength(length) > room)
                break;
            ++end;
        }
        QStringView chunk;
        if (end > start)
            chunk = QStringView(points.at(start).data(), points.at(end - 1).data() +
                                                             points.at(end - 1).size() -
                                                             points.at(start).data());
        if (end == start) {
            if (firstLine && !newLine) {
                // Not even one character fits after the header name: start on the next line.
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

// A display name for From: as it stands when plain ASCII is enough, quoted when it holds
// specials, else encoded words.
QByteArray fromHeader(const QString& name, const QString& address, MailCharset charset)
{
    const QByteArray head = "From: ";
    const QByteArray angle = '<' + address.toUtf8() + '>';
    QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return head + address.toUtf8();
    QByteArray phrase;
    if (isPrintableAscii(trimmed) && !trimmed.contains(QLatin1String("=?"))) {
        static const QString specials = QStringLiteral("()<>[]:;@\\,.\"");
        bool special = false;
        for (QChar c : trimmed)
            special = special || specials.contains(c);
        phrase = trimmed.toLatin1();
        if (special) {
            phrase.replace('\\', "\\\\");
            phrase.replace('"', "\\\"");
            phrase = '"' + phrase + '"';
        }
        if (head.size() + phrase.size() > kHeaderLineLimit)
            phrase = encodeWordsWithin(trimmed, charset, int(head.size()), kHeaderLineLimit);
    } else {
        phrase = encodeWordsWithin(trimmed, charset, int(head.size()), kHeaderLineLimit);
    }
    QByteArray out = head + phrase;
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

QByteArray messageIdHeader(const QString& fromAddress, const QDateTime& date)
{
    static QAtomicInteger<quint32> counter;
    QString domain = fromAddress.mid(fromAddress.lastIndexOf(QLatin1Char('@')) + 1);
    if (!fromAddress.contains(QLatin1Char('@')) || domain.isEmpty())
        domain = QStringLiteral("kezmailer.invalid");
    QByteArray left = QByteArray::number(date.toMSecsSinceEpoch(), 36) + '.' +
                      QByteArray::number(QRandomGenerator::system()->generate64(), 36) + '.' +
                      QByteArray::number(counter.fetchAndAddRelaxed(1) + 1);
    return "Message-ID: <" + left + '@' + domain.toUtf8() + '>';
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
    const QHash<char32_t, quint16>& table = jisTable();
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

MailCharset chooseCharset(const QString& subject, const QString& name, const QString& body)
{
    return encodeIso2022Jp(subject) && encodeIso2022Jp(name) && encodeIso2022Jp(body)
               ? MailCharset::Iso2022Jp
               : MailCharset::Utf8;
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

std::optional<QByteArray> composeMessage(const OutgoingMail& mail, QString* error)
{
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
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("添付ファイルを読み込めません: %1 (%2)")
                         .arg(path, file.errorString());
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
        out += "Content-Type: " + attachment.mimeType + name + kCrLf;
        out += "Content-Disposition: attachment" + filename + kCrLf;
        out += "Content-Transfer-Encoding: base64\r\n\r\n";
        out += base64Lines(attachment.data) + kCrLf;
    }
    out += "--" + boundary + "--\r\n";
    return out;
}

} // namespace transport
