#include "core/platform/text_files.h"

#include "core/platform/system_messages.h"

#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cerrno>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

namespace platform {

bool syncFile(QFile& file)
{
    const int handle = file.handle();
    if (handle < 0)
        return false;
#if defined(Q_OS_UNIX)
    return ::fsync(handle) == 0;
#elif defined(Q_OS_WIN)
    return ::_commit(handle) == 0;
#else
    return true;
#endif
}

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

bool openRegularFile(QFile& file, const QString& path, QString* errorText)
{
    auto fail = [errorText](const QString& reason) {
        if (errorText)
            *errorText = reason;
        return false;
    };
#if !defined(Q_OS_UNIX)
    // Windows has no FIFOs among its files; a folder or a device name is still refused.
    if (!QFileInfo(path).isFile())
        return fail(
            QStringLiteral("通常のファイルではありません。通常のファイルを指定して下さい。"));
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(fileErrorText(file));
    return true;
#else
    // Without O_NONBLOCK, opening a FIFO for reading waits for a writer, which may never come.
    // The kind is then asked of what was opened, not of the name, which may change meanwhile.
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return fail(systemErrorText(errno));
    struct stat status = {};
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(systemErrorText(error));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        if (S_ISDIR(status.st_mode))
            return fail(QStringLiteral("フォルダーです。ファイルを指定して下さい。"));
        QString kind;
        if (S_ISFIFO(status.st_mode))
            kind = QStringLiteral("名前付きパイプ（FIFO）");
        else if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode))
            kind = QStringLiteral("デバイス");
        else if (S_ISSOCK(status.st_mode))
            kind = QStringLiteral("ソケット");
        else
            kind = QStringLiteral("特殊なファイル");
        return fail(QStringLiteral("%1です。通常のファイルを指定して下さい。").arg(kind));
    }
    // A regular file never blocks; the flag only goes so that reads behave as they always do.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(systemErrorText(error));
    }
    file.setFileName(path);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(fileErrorText(file));
    }
    return true;
#endif
}

CrLineReader::CrLineReader(QIODevice* device, TextEncoding encoding, LineEnds lineEnds)
    : m_device(device), m_encoding(encoding), m_lineEnds(lineEnds)
{
}

qsizetype CrLineReader::findLineEnd(qsizetype from) const
{
    if (m_lineEnds == LineEnds::CrOnly)
        return m_buffer.indexOf('\r', from);
    const char* data = m_buffer.constData();
    for (qsizetype i = from; i < m_buffer.size(); ++i)
        if (data[i] == '\r' || data[i] == '\n')
            return i;
    return -1;
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
    qsizetype end = findLineEnd(m_pos);
    while (end < 0) {
        // fill() drops what was read already; the search goes on where it stopped.
        const qsizetype searched = m_buffer.size() - m_pos;
        if (!fill())
            break;
        end = findLineEnd(m_pos + searched);
    }
    QByteArray line;
    if (end < 0) {
        line = m_buffer.mid(m_pos);
        m_pos = m_buffer.size();
    } else {
        const bool cr = m_buffer.at(end) == '\r';
        line = m_buffer.mid(m_pos, end - m_pos);
        m_pos = end + 1;
        // The optional line feed after the carriage return may sit in the next chunk.
        if (cr && m_pos >= m_buffer.size())
            fill();
        if (cr && m_pos < m_buffer.size() && m_buffer.at(m_pos) == '\n')
            ++m_pos;
    }
    if (m_error)
        return std::nullopt;
    if (m_encoding == TextEncoding::Utf8)
        return QString::fromUtf8(line);
    // Each line on its own, as decodeCp932 takes it: a lead byte at a line's end is not
    // carried over into the next.
    m_cp932.resetState();
    return m_cp932.decode(line);
}

ListFileReader::ListFileReader(const QString& path) : m_file(path) {}

std::unique_ptr<ListFileReader> ListFileReader::open(const QString& path, QString* errorText)
{
    std::unique_ptr<ListFileReader> list(new ListFileReader(path));
    if (!openRegularFile(list->m_file, path, errorText))
        return nullptr;
    if (!list->rewind()) {
        if (errorText)
            *errorText = list->errorString();
        return nullptr;
    }
    return list;
}

bool ListFileReader::rewind()
{
    if (!m_file.seek(0))
        return false;
    m_reader = std::make_unique<CrLineReader>(&m_file, TextEncoding::Cp932, LineEnds::Any);
    m_reader->skipUtf8Bom();
    return !m_reader->hasError();
}

QString ListFileReader::errorString() const
{
    return fileErrorText(m_file);
}

bool readListFile(const QString& path, const std::function<void(const QString& line)>& take,
                  QString* errorText)
{
    std::unique_ptr<ListFileReader> list = ListFileReader::open(path, errorText);
    if (!list)
        return false;
    while (std::optional<QString> line = list->readLine())
        take(*line);
    if (list->hasError()) {
        if (errorText)
            *errorText = list->errorString();
        return false;
    }
    return true;
}

namespace {

// Closes a file the program already owns to everyone but its owner. Only a regular file of
// this user: a log path may name a device, or a file the operator shares on purpose but does
// not own, and neither is ours to change. A refusal leaves the mode as it was; the write
// itself goes on.
void closeToOthers([[maybe_unused]] const QFile& file)
{
#if defined(Q_OS_UNIX)
    struct stat st
    {
    };
    if (::fstat(file.handle(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        ::fchmod(file.handle(), st.st_mode & S_IRWXU);
#endif
}

} // namespace

bool appendWhole(const QString& path, const QByteArray& bytes, QString* errorText)
{
    auto fail = [errorText](const QString& reason) {
        if (errorText)
            *errorText = reason;
        return false;
    };
    QFile file(path);
    // Unbuffered: each write reaches the system at once, so a refusal is seen here, with the
    // system's reason, and not at a later flush that no longer knows what was written.
    // Owner-only from the start, as the settings are: the logs list the recipients' addresses.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return fail(fileErrorText(file));
    // A log from before, or one copied in with the folder, is closed at its next line.
    closeToOthers(file);
    const qint64 oldSize = file.isSequential() ? 0 : file.size();
    qint64 written = 0;
    // A write the system cuts short reports no error; the next one, for the rest, fails with
    // the reason (EFBIG, ENOSPC).
    while (written < bytes.size()) {
        const qint64 n = file.write(bytes.constData() + written, bytes.size() - written);
        if (n <= 0)
            break;
        written += n;
    }
    if (written == bytes.size())
        return true;

    QString reason;
    if (file.error() == QFileDevice::ResourceError)
        reason = systemErrorText(ENOSPC); // how Qt reports a full disk
    else if (file.error() != QFileDevice::NoError)
        reason = fileErrorText(file);
    else
        reason = QStringLiteral("書き込みが途中で止まりました");
    // Half a line would have the next one glued onto it.
    if (written > 0 && (file.isSequential() || !file.resize(oldSize)))
        reason += QStringLiteral(" (書きかけの行を取り除けませんでした)");
    return fail(reason);
}

} // namespace platform
