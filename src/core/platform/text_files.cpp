#include "core/platform/text_files.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace platform {

std::optional<QByteArray> encodeCp932(const QString& text)
{
    QStringEncoder encoder(kCp932);
    QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        return std::nullopt;
    return bytes;
}

QString decodeCp932(const QByteArray& bytes)
{
    QStringDecoder decoder(kCp932);
    return decoder.decode(bytes);
}

bool isValidUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder.decode(bytes); // decode() is lazy until converted
    Q_UNUSED(decoded);
    return !decoder.hasError();
}

CrLineReader::CrLineReader(QIODevice* device, TextEncoding encoding)
    : m_device(device), m_encoding(encoding)
{
}

bool CrLineReader::fill()
{
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    constexpr qint64 kChunk = 64 * 1024;
    const QByteArray chunk = m_device->read(kChunk);
    if (chunk.isEmpty()) {
        // read() gives an empty array both at the end and on an error; tell them apart.
        if (!m_device->atEnd() && m_device->isOpen())
            m_error = true;
        return false;
    }
    m_buffer.append(chunk);
    return true;
}

bool CrLineReader::atEnd()
{
    if (m_pos < m_buffer.size())
        return false;
    return !fill();
}

bool CrLineReader::skipUtf8Bom()
{
    while (m_buffer.size() - m_pos < 3 && fill()) {
    }
    if (m_buffer.mid(m_pos, 3) == QByteArray("\xEF\xBB\xBF")) {
        m_pos += 3;
        m_encoding = TextEncoding::Utf8;
        return true;
    }
    return false;
}

std::optional<QString> CrLineReader::readLine()
{
    if (atEnd())
        return std::nullopt;
    qsizetype cr = m_buffer.indexOf('\r', m_pos);
    while (cr < 0) {
        if (!fill())
            break;
        cr = m_buffer.indexOf('\r', m_pos);
    }
    QByteArray line;
    if (cr < 0) {
        line = m_buffer.mid(m_pos);
        m_pos = m_buffer.size();
    } else {
        line = m_buffer.mid(m_pos, cr - m_pos);
        m_pos = cr + 1;
        // The optional line feed after the carriage return may sit in the next chunk.
        if (m_pos >= m_buffer.size())
            fill();
        if (m_pos < m_buffer.size() && m_buffer.at(m_pos) == '\n')
            ++m_pos;
    }
    if (m_error)
        return std::nullopt;
    if (m_encoding == TextEncoding::Utf8)
        return QString::fromUtf8(line);
    return decodeCp932(line);
}

} // namespace platform
