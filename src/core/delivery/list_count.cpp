#include "core/delivery/list_count.h"

#include "core/platform/text_files.h"
#include "core/text/trim.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>

namespace delivery {
namespace {

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

bool isLineEnd(uchar c)
{
    return c == '\r' || c == '\n';
}

// Finds line ends in one piece of bytes with memchr, keeping the next CR and the next LF it
// has found, so that a file with only one kind of line end is not searched to its end again
// for the other kind on every line.
class LineEnds
{
public:
    explicit LineEnds(const uchar* end) : m_end(end) {}
    const uchar* from(const uchar* p)
    {
        if (m_cr < p)
            m_cr = find(p, '\r');
        if (m_lf < p)
            m_lf = find(p, '\n');
        return std::min(m_cr, m_lf);
    }

private:
    const uchar* find(const uchar* p, int c) const
    {
        const void* hit = std::memchr(p, c, std::size_t(m_end - p));
        return hit ? static_cast<const uchar*>(hit) : m_end;
    }

    const uchar* m_end;
    const uchar* m_cr = nullptr;
    const uchar* m_lf = nullptr;
};

// What each byte and byte pair of code page 932 becomes in the decoder that reads the list,
// taken from that decoder once: which bytes lead a double-byte character, and whether a lone
// byte or a pair decodes to blanks only. The decoder has its own ideas about a few bytes
// (0x7F and 0x80 become U+001A, 0x1C becomes U+007F, an invalid second byte is a U+001A
// followed by that byte), and the count has to agree with the lines the run reads.
struct Cp932Blanks
{
    std::bitset<256> lead;
    std::bitset<256> singleBlank;
    std::array<std::bitset<256>, 256> pairBlank;

    Cp932Blanks()
    {
        QStringDecoder decoder(platform::kCp932);
        auto blankOnly = [&](const QByteArray& bytes, bool* empty) {
            decoder.resetState();
            const QString text = decoder.decode(bytes);
            *empty = text.isEmpty();
            return std::all_of(text.begin(), text.end(), compose::IsBlank);
        };
        for (int b = 0; b < 256; ++b) {
            bool empty = false;
            singleBlank[b] = blankOnly(QByteArray(1, char(b)), &empty);
            // Nothing comes out of a byte alone when it waits for a second one.
            lead[b] = empty && !isLineEnd(uchar(b));
        }
        for (int b = 0; b < 256; ++b) {
            if (!lead[b])
                continue;
            for (int t = 0; t < 256; ++t) {
                bool empty = false;
                const char pair[] = {char(b), char(t)};
                pairBlank[b][t] = blankOnly(QByteArray(pair, 2), &empty);
            }
        }
    }
};

const Cp932Blanks& cp932Blanks()
{
    static const Cp932Blanks blanks;
    return blanks;
}

} // namespace

void RecipientCounter::add(QByteArrayView bytes)
{
    if (m_encoding == Encoding::Undecided) {
        m_head.append(bytes);
        if (m_head.size() < 3 && QByteArrayView(kUtf8Bom).startsWith(m_head))
            return; // could still become a byte-order mark
        const bool bom = m_head.startsWith(kUtf8Bom);
        m_encoding = bom ? Encoding::Utf8 : Encoding::Cp932;
        const QByteArray head = std::exchange(m_head, QByteArray());
        add(QByteArrayView(head).sliced(bom ? 3 : 0));
        return;
    }
    if (m_encoding == Encoding::Utf8)
        scanUtf8(bytes);
    else
        scanCp932(bytes);
}

void RecipientCounter::recipientFound()
{
    ++m_count;
    m_inRecipient = true;
}

// A line counts from its first character that is not a blank, whatever follows, so once one
// is found the scan only looks for the line's end. Until then each byte goes to blankStep,
// which knows the encoding; a line end reaches it too, as the end of a line of blanks.
template <typename BlankStep> void RecipientCounter::scan(QByteArrayView bytes, BlankStep blankStep)
{
    auto* p = reinterpret_cast<const uchar*>(bytes.data());
    const auto* const end = p + bytes.size();
    LineEnds lineEnds(end);
    while (p < end) {
        if (m_inRecipient) {
            p = lineEnds.from(p);
            if (p == end)
                return;
            m_inRecipient = false;
            m_atLineStart = true;
            ++p;
            continue;
        }
        blankStep(*p++);
    }
}

void RecipientCounter::scanCp932(QByteArrayView bytes)
{
    const Cp932Blanks& blanks = cp932Blanks();
    scan(bytes, [&](uchar c) {
        if (m_pending >= 0) {
            const int lead = std::exchange(m_pending, -1);
            // A lead byte at the end of its line decodes to nothing.
            if (!isLineEnd(c) && !blanks.pairBlank[lead][c])
                recipientFound();
        } else if (blanks.lead[c]) {
            m_pending = c;
        } else if (!isLineEnd(c) && !blanks.singleBlank[c]) {
            recipientFound();
        }
    });
}

// In UTF-8 the blanks are the bytes up to 32 and the ideographic space E3 80 80; every other
// character, a malformed or cut-off one included (it decodes to U+FFFD), is not a blank. The
// decoder drops a byte-order mark at the very start of a line, so that is no character either.
void RecipientCounter::scanUtf8(QByteArrayView bytes)
{
    static constexpr uchar kSpace[] = {0xE3, 0x80, 0x80};
    static constexpr uchar kBom[] = {0xEF, 0xBB, 0xBF};
    scan(bytes, [&](uchar c) {
        if (m_sequence) {
            if (c == m_sequence[m_matched]) {
                if (++m_matched == 3)
                    m_sequence = nullptr;
                return;
            }
            // Some other character that begins the same way, or one cut off by the line's end.
            m_sequence = nullptr;
            recipientFound();
            m_inRecipient = !isLineEnd(c);
            m_atLineStart = isLineEnd(c);
            return;
        }
        if (isLineEnd(c)) {
            m_atLineStart = true;
            return;
        }
        const bool lineStart = std::exchange(m_atLineStart, false);
        if (c <= 32)
            return;
        if (c == kSpace[0] || (c == kBom[0] && lineStart)) {
            m_sequence = c == kSpace[0] ? kSpace : kBom;
            m_matched = 1;
            return;
        }
        recipientFound();
    });
}

qint64 RecipientCounter::finish()
{
    if (m_encoding == Encoding::Undecided) {
        // Fewer than three bytes, all of them the start of a byte-order mark.
        m_encoding = Encoding::Cp932;
        scanCp932(std::exchange(m_head, QByteArray()));
    }
    if (m_sequence)
        ++m_count; // cut off inside a character: U+FFFD
    m_sequence = nullptr;
    m_pending = -1; // a lead byte alone at the very end decodes to nothing
    m_inRecipient = false;
    return m_count;
}

std::optional<qint64> CountRecipients(const QString& path, QString* errorText)
{
    QFile file(path);
    auto fail = [&]() -> std::optional<qint64> {
        if (errorText)
            *errorText = file.errorString();
        return std::nullopt;
    };
    QString refusal;
    if (!platform::openRegularFile(file, path, &refusal)) {
        if (errorText)
            *errorText = refusal;
        return std::nullopt;
    }
    RecipientCounter counter;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0)
            return fail();
        if (n == 0)
            break;
        counter.add(QByteArrayView(chunk.constData(), n));
    }
    return counter.finish();
}

} // namespace delivery
