#include "core/compose/body_file.h"

#include "core/platform/text_files.h"
#include "core/text/trim.h"

#include <QBuffer>
#include <QFile>

namespace compose {
namespace {

// Every mail of a run carries the body, and the editor holds it as well. Mail servers commonly
// refuse messages beyond 10 to 25 MB, so a body file larger than this is a wrong choice of file
// (an archive, a disk image), not a letter.
constexpr qint64 kMaxBodyFileSize = 16 << 20;

} // namespace

std::optional<QString> loadBodyFile(const QString& path, QString* errorText)
{
    QFile file;
    if (!platform::openRegularFile(file, path, errorText))
        return std::nullopt;
    // The whole file first: the encoding is decided on all of it, and a read that fails
    // half-way must leave the body as it was. Read only up to the limit and one byte more, so
    // a file that grows meanwhile is refused all the same.
    QByteArray bytes = file.read(kMaxBodyFileSize + 1);
    if (bytes.size() > kMaxBodyFileSize) {
        if (errorText)
            *errorText = QStringLiteral("本文のファイルとしては大きすぎます（%1 MiB まで）。")
                             .arg(kMaxBodyFileSize >> 20);
        return std::nullopt;
    }
    if (file.error() != QFileDevice::NoError) {
        if (errorText)
            *errorText = file.errorString();
        return std::nullopt;
    }
    file.close();

    const bool utf8 = platform::isValidUtf8(bytes);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    platform::CrLineReader reader(&buffer, utf8 ? platform::TextEncoding::Utf8
                                                : platform::TextEncoding::Cp932);
    if (utf8)
        reader.skipUtf8Bom();

    QString body;
    body.reserve(bytes.size() + bytes.size() / 16);
    while (std::optional<QString> line = reader.readLine()) {
        body += *line;
        body += QLatin1String("\r\n");
    }
    return body;
}

QString bodyWithCrLf(const QString& editorText)
{
    QString body;
    body.reserve(editorText.size() + editorText.size() / 16);
    for (qsizetype i = 0; i < editorText.size(); ++i) {
        const QChar c = editorText.at(i);
        if (c == QLatin1Char('\r')) {
            // A CR LF pair, or a CR alone, is one line break.
            if (i + 1 < editorText.size() && editorText.at(i + 1) == QLatin1Char('\n'))
                ++i;
            body += QLatin1String("\r\n");
        } else if (c == QLatin1Char('\n') || c == QChar::ParagraphSeparator ||
                   c == QChar::LineSeparator) {
            body += QLatin1String("\r\n");
        } else {
            body += c;
        }
    }
    return body;
}

QString appendAttachment(const QString& current, const QString& path)
{
    if (Trim(current).isEmpty())
        return path;
    return current + QLatin1Char(',') + path;
}

} // namespace compose
