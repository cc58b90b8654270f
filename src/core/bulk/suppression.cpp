#include "core/bulk/suppression.h"

#include "core/bulk/bulk_headers.h"
#include "core/platform/system_messages.h"
#include "core/platform/text_files.h"
#include "core/text/trim.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QUrl>

#include <algorithm>
#include <vector>

namespace bulk {
namespace {

// The key of an address already trimmed and freed of its angle brackets.
QByteArray plainKey(const QString& plain)
{
    const qsizetype at = plain.lastIndexOf(QLatin1Char('@'));
    bool ascii = true;
    for (const QChar c : plain)
        ascii = ascii && c.unicode() < 0x80;
    // Nearly every address: its bytes as they are, the domain lowered in place. A list of a
    // million addresses makes a million keys at the start of a run, so this path allocates once
    // and exactly (a key lives as long as the run).
    if (ascii) {
        QByteArray key = plain.toLatin1();
        char* bytes = key.data();
        for (qsizetype i = at + 1; at >= 0 && i < key.size(); ++i) {
            if (bytes[i] >= 'A' && bytes[i] <= 'Z')
                bytes[i] = char(bytes[i] + ('a' - 'A'));
        }
        return key;
    }
    if (at < 0)
        return plain.toUtf8();
    const QStringView domain = QStringView(plain).mid(at + 1);
    const QByteArray local = QStringView(plain).left(at + 1).toUtf8();
    bool asciiDomain = true;
    for (const QChar c : domain)
        asciiDomain = asciiDomain && c.unicode() < 0x80;
    if (asciiDomain)
        return local + domain.toLatin1().toLower();
    // toAce folds case (and full-width letters) as IDNA does; a domain it refuses is still
    // compared, in lower case.
    QByteArray ace = QUrl::toAce(domain.toString());
    if (ace.isEmpty())
        ace = domain.toString().toLower().toUtf8();
    return local + ace.toLower();
}

// An "@" with something on both sides: what any address has, and what a file of some other
// kind (a spreadsheet saved as something else, random bytes) almost never has on any line.
bool looksLikeAddress(const QString& plain)
{
    const qsizetype at = plain.lastIndexOf(QLatin1Char('@'));
    return at > 0 && at < plain.size() - 1;
}

bool isOneWord(const QString& plain)
{
    return std::none_of(plain.cbegin(), plain.cend(), compose::IsBlank);
}

// The keys of a list, gathered line by line from decoded text that arrives in pieces.
class ListLines
{
public:
    // Takes the complete lines of text, keeping an unfinished last line for the next piece. A
    // CR LF split between two pieces makes an empty line, which counts for nothing anyway.
    void take(QString& text)
    {
        const QChar* data = text.constData();
        qsizetype start = 0;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (data[i] == QLatin1Char('\r') || data[i] == QLatin1Char('\n')) {
                if (i > start)
                    line(QStringView(text).sliced(start, i - start));
                start = i + 1;
            }
        }
        text.remove(0, start);
    }

    // Whether any line holds more than blanks, and whether any but a comment looks like an
    // address.
    bool anyContent() const { return m_content; }
    bool anyAddress() const { return m_anyAddress; }
    QList<QByteArray>& keys() { return m_keys; }

private:
    void line(QStringView view)
    {
        const QString plain = PlainAddress(view.toString());
        if (plain.isEmpty())
            return;
        m_content = true;
        const bool address = looksLikeAddress(plain);
        if (plain.startsWith(QLatin1Char('#'))) {
            // A comment. "#" may also begin a local part, though: a line that is one address
            // and nothing else is taken too, since suppressing one address too many harms
            // nobody and one too few mails a person who asked not to be.
            if (!address || !isOneWord(plain))
                return;
        } else {
            m_anyAddress = m_anyAddress || address;
        }
        m_keys.append(SuppressionKey(plainKey(plain)));
    }

    QList<QByteArray> m_keys;
    bool m_content = false;
    bool m_anyAddress = false;
};

// The shape of code page 932: single bytes 00-7F and A1-DF, double bytes from a lead byte
// 81-9F or E0-FC and a trail byte 40-7E or 80-FC. 80, A0 and FD-FF are no character at all;
// the decoder would quietly turn them into a substitute, so the shape is checked here, piece by
// piece, a lead byte carried over to the next.
class Cp932Shape
{
public:
    bool take(QByteArrayView bytes)
    {
        for (const char byte : bytes) {
            const uchar c = uchar(byte);
            if (m_lead) {
                m_lead = false;
                if (c < 0x40 || c == 0x7F || c > 0xFC)
                    return false;
            } else if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
                m_lead = true;
            } else if (c == 0x80 || c == 0xA0 || c > 0xFC) {
                return false;
            }
        }
        return true;
    }
    bool complete() const { return !m_lead; }

private:
    bool m_lead = false;
};

enum class Outcome { Read, NotThisEncoding, Nul, ReadError };

// One pass over the file from offset `from` with one decoder. The file is read a piece at a
// time and never held whole: a list of a million addresses is 25 MiB.
Outcome readWith(QFile& file, qint64 from, QStringConverter::Encoding encoding,
                 const char* codecName, ListLines& lines)
{
    const bool utf16 =
        encoding == QStringConverter::Utf16LE || encoding == QStringConverter::Utf16BE;
    if (!file.seek(from))
        return Outcome::ReadError;
    // Stateful, so that a character cut between two pieces is joined again.
    QStringDecoder decoder = codecName ? QStringDecoder(codecName) : QStringDecoder(encoding);
    if (!decoder.isValid())
        return Outcome::NotThisEncoding;
    constexpr qint64 kPiece = 1 << 20;
    qint64 total = 0;
    QString text;
    Cp932Shape shape;
    const bool cp932 = codecName != nullptr;
    for (;;) {
        const QByteArray piece = file.read(kPiece);
        if (piece.isEmpty()) {
            if (file.error() != QFileDevice::NoError)
                return Outcome::ReadError;
            break;
        }
        total += piece.size();
        // Outside UTF-16, a NUL byte means UTF-16 or UTF-32 without a mark, or no text at all.
        if (!utf16 && piece.contains('\0'))
            return Outcome::Nul;
        if (cp932 && !shape.take(piece))
            return Outcome::NotThisEncoding;
        text.append(decoder.decode(piece));
        if (decoder.hasError())
            return Outcome::NotThisEncoding;
        if (utf16 && text.contains(QChar(0)))
            return Outcome::Nul; // UTF-32 begins with the UTF-16 mark
        lines.take(text);
    }
    // A line end of the file's own encoding after the last byte: a character the file cuts
    // off, which the decoder still holds, now shows as an error, and the last line ends.
    const QByteArray end = encoding == QStringConverter::Utf16LE   ? QByteArray("\n\0", 2)
                           : encoding == QStringConverter::Utf16BE ? QByteArray("\0\n", 2)
                                                                   : QByteArray("\n");
    text.append(decoder.decode(end));
    if (decoder.hasError() || (utf16 && total % 2 != 0) || !shape.complete())
        return Outcome::NotThisEncoding;
    lines.take(text);
    return Outcome::Read;
}

} // namespace

QByteArray AddressKey(const QString& address)
{
    return plainKey(PlainAddress(address));
}

QByteArray SuppressionKey(QByteArray key)
{
    char* bytes = key.data();
    for (qsizetype i = 0; i < key.size(); ++i) {
        if (uchar(bytes[i]) >= 0x80)
            return QString::fromUtf8(key).toCaseFolded().toUtf8();
        if (bytes[i] >= 'A' && bytes[i] <= 'Z')
            bytes[i] = char(bytes[i] + ('a' - 'A'));
    }
    return key;
}

std::optional<SuppressionList> SuppressionList::read(const QString& path, QString* error)
{
    auto refuse = [&](const QString& reason) -> std::optional<SuppressionList> {
        *error = QStringLiteral("配信停止リストを読み込めませんでした。\n%1\n%2")
                     .arg(QDir::toNativeSeparators(path), reason);
        return std::nullopt;
    };
    if (path.trimmed().isEmpty())
        return refuse(QStringLiteral("ファイルが指定されていません。"));
    QFile file;
    QString reason;
    if (!platform::openRegularFile(file, path, &reason))
        return refuse(reason);

    // A byte-order mark decides; without one, UTF-8 when every byte is well-formed UTF-8 (code
    // page 932 text almost never is, while code page 932 would read UTF-8 Japanese as other
    // kanji), else code page 932.
    struct Try
    {
        qint64 from;
        QStringConverter::Encoding encoding;
        const char* codecName;
        const char* name;
        ListEncoding kind;
    };
    const QByteArray head = file.peek(3);
    std::vector<Try> tries;
    if (head.startsWith("\xFF\xFE"))
        tries = {{2, QStringConverter::Utf16LE, nullptr, "UTF-16", ListEncoding::Utf16LE}};
    else if (head.startsWith("\xFE\xFF"))
        tries = {{2, QStringConverter::Utf16BE, nullptr, "UTF-16", ListEncoding::Utf16BE}};
    else if (head.startsWith("\xEF\xBB\xBF"))
        tries = {{3, QStringConverter::Utf8, nullptr, "UTF-8", ListEncoding::Utf8Bom}};
    else
        tries = {{0, QStringConverter::Utf8, nullptr, nullptr, ListEncoding::Utf8},
                 {0, QStringConverter::System, platform::kCp932, nullptr, ListEncoding::Cp932}};

    for (const Try& t : tries) {
        ListLines lines;
        switch (readWith(file, t.from, t.encoding, t.codecName, lines)) {
        case Outcome::ReadError: return refuse(platform::fileErrorText(file));
        case Outcome::Nul:
            return refuse(QStringLiteral("NULバイト（0x00）を含んでいます。テキストのファイルでは"
                                         "ありません。"));
        case Outcome::NotThisEncoding:
            if (t.name)
                return refuse(
                    QStringLiteral("%1 として読めない箇所があります。").arg(QLatin1String(t.name)));
            continue;
        case Outcome::Read: break;
        }
        // Only a file of blank lines is taken as an empty list; a comment alone is not, since
        // it says the operator meant to list someone.
        if (lines.anyContent() && !lines.anyAddress())
            return refuse(QStringLiteral("メールアドレスの行がありません。1行に1つずつ"
                                         "メールアドレスを書いて下さい。"));
        // Gathered first, so that the set is sized once instead of growing step by step: a
        // list of a million addresses is read markedly faster.
        SuppressionList list;
        list.m_encoding = t.kind;
        list.m_keys.reserve(lines.keys().size());
        for (QByteArray& key : lines.keys())
            list.m_keys.insert(std::move(key));
        return list;
    }
    return refuse(QStringLiteral("文字コードが分かりません。UTF-16（バイトオーダーマーク付き）、"
                                 "UTF-8、シフトJIS（コードページ932）のどれとしても読めない"
                                 "バイトがあります。"));
}

namespace {

// The line end the file uses first, in its own encoding's units; CR LF, what Notepad and
// Excel write, for a file without any.
QString lineEndOf(const QByteArray& bytes, ListEncoding encoding)
{
    const bool utf16 = encoding == ListEncoding::Utf16LE || encoding == ListEncoding::Utf16BE;
    const qsizetype step = utf16 ? 2 : 1;
    const qsizetype low = encoding == ListEncoding::Utf16BE ? 1 : 0;
    auto unitAt = [&](qsizetype i) -> char {
        if (!utf16)
            return bytes[i];
        return bytes[i + 1 - low] == 0 ? bytes[i + low] : '\x01';
    };
    for (qsizetype i = utf16 ? 2 : 0; i + step <= bytes.size(); i += step) {
        const char c = unitAt(i);
        if (c == '\n')
            return QStringLiteral("\n");
        if (c == '\r')
            return i + 2 * step <= bytes.size() && unitAt(i + step) == '\n' ? QStringLiteral("\r\n")
                                                                            : QStringLiteral("\r");
    }
    return QStringLiteral("\r\n");
}

// tail: the file's last bytes (at least two); size: the whole file's.
bool endsWithLineEnd(const QByteArray& tail, qint64 size, ListEncoding encoding)
{
    const int bom = encoding == ListEncoding::Utf16LE || encoding == ListEncoding::Utf16BE ? 2
                    : encoding == ListEncoding::Utf8Bom                                    ? 3
                                                                                           : 0;
    if (size <= bom)
        return true; // nothing but the mark: the new line is the first
    if (encoding == ListEncoding::Utf16LE)
        return tail.endsWith(QByteArray("\n\0", 2)) || tail.endsWith(QByteArray("\r\0", 2));
    if (encoding == ListEncoding::Utf16BE)
        return tail.endsWith(QByteArray("\0\n", 2)) || tail.endsWith(QByteArray("\0\r", 2));
    return tail.endsWith('\n') || tail.endsWith('\r');
}

std::optional<QByteArray> encodeIn(const QString& text, ListEncoding encoding)
{
    QStringEncoder encoder = [&] {
        switch (encoding) {
        case ListEncoding::Utf16LE: return QStringEncoder(QStringConverter::Utf16LE);
        case ListEncoding::Utf16BE: return QStringEncoder(QStringConverter::Utf16BE);
        case ListEncoding::Cp932: // encodeCp932 below
        case ListEncoding::Utf8:
        case ListEncoding::Utf8Bom: break;
        }
        return QStringEncoder(QStringConverter::Utf8);
    }();
    if (encoding == ListEncoding::Cp932)
        return platform::encodeCp932(text);
    QByteArray bytes = encoder(text);
    if (encoder.hasError())
        return std::nullopt;
    return bytes;
}

} // namespace

AppendResult AppendToSuppressionList(const QString& path, const QString& address, QString* error,
                                     SuppressionList* known)
{
    auto fail = [&](const QString& reason) {
        *error = QStringLiteral("配信停止リストに追加できませんでした。\n%1\n%2")
                     .arg(QDir::toNativeSeparators(path), reason);
        return AppendResult::Failed;
    };
    const QString plain = PlainAddress(address);
    if (!looksLikeAddress(plain))
        return fail(QStringLiteral("メールアドレスではありません: %1").arg(address));
    std::optional<SuppressionList> read;
    if (!known) {
        QString readError;
        read = SuppressionList::read(path, &readError);
        if (!read) {
            *error = readError;
            return AppendResult::Failed;
        }
        known = &*read;
    }
    if (known->contains(plain))
        return AppendResult::AlreadyListed;

    // The line end in use shows near the start, whether the last line has one at the end: a
    // list of a million lines is not read again for either.
    QFile file;
    QString reason;
    if (!platform::openRegularFile(file, path, &reason))
        return fail(reason);
    const QByteArray head = file.read(64 * 1024);
    const qint64 size = file.size();
    QByteArray tail;
    if (size > 0 && file.seek(std::max<qint64>(0, size - 4)))
        tail = file.read(4);
    if (file.error() != QFileDevice::NoError)
        return fail(platform::fileErrorText(file));
    file.close();

    const ListEncoding encoding = known->encoding();
    const QString lineEnd = lineEndOf(head, encoding);
    const QString line =
        (endsWithLineEnd(tail, size, encoding) ? QString() : lineEnd) + plain + lineEnd;
    const std::optional<QByteArray> encoded = encodeIn(line, encoding);
    if (!encoded)
        return fail(
            QStringLiteral("ファイルの文字コードで書けない文字を含むアドレスです: %1").arg(plain));

    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Append))
        return fail(platform::fileErrorText(out));
    // One write of the whole line: a line cut short by a full disk is taken back, so the file
    // never ends in half an address.
    const qint64 before = out.size();
    const qint64 written = out.write(*encoded);
    if (written != encoded->size() || !out.flush() || !platform::syncFile(out)) {
        const QString why = platform::fileErrorText(out);
        out.resize(before);
        return fail(why);
    }
    known->add(plain);
    return AppendResult::Added;
}

void SuppressionList::add(const QString& address)
{
    const QByteArray key = AddressKey(address);
    if (!key.isEmpty())
        m_keys.insert(SuppressionKey(key));
}

bool SuppressionList::contains(const QString& address) const
{
    return !m_keys.isEmpty() && containsKey(AddressKey(address));
}

bool SuppressionList::containsKey(const QByteArray& addressKey) const
{
    return !m_keys.isEmpty() && !addressKey.isEmpty() &&
           m_keys.contains(SuppressionKey(addressKey));
}

bool SentAddresses::contains(const QString& address) const
{
    return m_keys.contains(AddressKey(address));
}

void SentAddresses::remember(const QString& address)
{
    QByteArray key = AddressKey(address);
    if (!key.isEmpty())
        m_keys.insert(std::move(key));
}

} // namespace bulk
