#include "core/text/code_page.h"

#include "core/platform/text_files.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <optional>

namespace codepage {

QString serverText(const QByteArray& line)
{
    return platform::isValidUtf8(line) ? QString::fromUtf8(line) : platform::decodeCp932(line);
}

QString serverText(const QList<QByteArray>& lines)
{
    QStringList texts;
    for (const QByteArray& line : lines)
        texts << serverText(line);
    return texts.join(QLatin1Char(' '));
}

QByteArray cp932WithReferences(const QString& text)
{
    // Made at the first character beyond ASCII: most lines are addresses and stamps.
    std::optional<QStringEncoder> encoder;
    std::optional<QStringDecoder> decoder;
    QByteArray out;
    out.reserve(text.size() * 2);
    for (qsizetype i = 0; i < text.size();) {
        const char32_t cp =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()
                ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1))
                : text.at(i).unicode();
        const QStringView point = QStringView(text).mid(i, cp > 0xFFFF ? 2 : 1);
        i += point.size();
        // ASCII is the same in code page 932; the converter behind it would swap a few
        // control codes (0x1A, 0x1C, 0x7F) the IBM way.
        if (cp < 0x80) {
            out += char(cp);
            continue;
        }
        // Only a code that reads back as the same character counts: a one-way best fit would
        // show another character. A converter keeps an error flagged through resetState(), so
        // one that refused is dropped for a fresh one.
        if (!encoder || !decoder) {
            encoder.emplace(platform::kCp932);
            decoder.emplace(platform::kCp932);
        }
        const QByteArray bytes = encoder->encode(point);
        if (encoder->hasError() || bytes.isEmpty()) {
            encoder.reset();
        } else {
            const QString back = decoder->decode(bytes);
            if (decoder->hasError()) {
                decoder.reset();
            } else if (back == point) {
                out += bytes;
                continue;
            }
        }
        out += "&#" + QByteArray::number(quint32(cp)) + ';';
    }
    return out;
}

} // namespace codepage
