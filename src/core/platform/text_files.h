#pragma once

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QString>
#include <QStringDecoder>

#include <functional>
#include <memory>
#include <optional>

namespace platform {

// Code page 932 (Shift_JIS with the Windows extensions), the code page of every text file the
// program reads or writes unless it says otherwise.
inline constexpr const char* kCp932 = "Shift_JIS";

// Encodes text in code page 932. Returns nullopt when a character has no code in it, so that
// callers can refuse instead of writing "?".
std::optional<QByteArray> encodeCp932(const QString& text);
QString decodeCp932(const QByteArray& bytes);

// True when bytes are well-formed UTF-8 (a byte-order mark is allowed).
bool isValidUtf8(const QByteArray& bytes);

// Opens path for reading, but only when it is a regular file (or a symbolic link to one). A FIFO
// would hold the open until some other program writes to it, a device such as /dev/zero never
// ends, and neither is a file an operator meant to choose; both are refused at once, as is a
// folder. On refusal false, with the reason in *errorText.
bool openRegularFile(QFile& file, const QString& path, QString* errorText);

// Asks the system to put what was written to the open file on the disk before it returns.
bool syncFile(QFile& file);

enum class TextEncoding { Cp932, Utf8 };

enum class LineEnds {
    CrOnly, // CR or CR LF; a lone LF stays inside the line
    Any,    // CR, CR LF, or a lone LF as Linux tools and many exports write
};

// Reads a text file line by line. A line ends at a carriage return, which may be followed by a
// line feed, and with LineEnds::Any at a lone line feed too. A last line without a line end is
// read too. Reads in chunks, so a list of any length costs the same memory.
class CrLineReader
{
public:
    explicit CrLineReader(QIODevice* device, TextEncoding encoding = TextEncoding::Cp932,
                          LineEnds lineEnds = LineEnds::CrOnly);

    // True when every byte has been consumed. After a line and its line end, the reader is at
    // its end exactly when nothing follows.
    bool atEnd();
    // The next line without its line end; nullopt at the end or on a read error.
    std::optional<QString> readLine();
    // Drops a UTF-8 byte-order mark at the current position and switches to UTF-8. Returns
    // whether there was one.
    bool skipUtf8Bom();

    bool hasError() const { return m_error; }
    QString errorString() const { return m_device->errorString(); }
    void setEncoding(TextEncoding encoding) { m_encoding = encoding; }

private:
    bool fill();

    // The position of the next line end at or after from, or -1.
    qsizetype findLineEnd(qsizetype from) const;

    QIODevice* m_device;
    TextEncoding m_encoding;
    LineEnds m_lineEnds;
    // Made once: making a decoder costs more than decoding a line of a list.
    QStringDecoder m_cp932{kCp932};
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    bool m_error = false;
};

// A list file (recipients, suppressed addresses): code page 932, or UTF-8 when it starts with
// a byte-order mark (spreadsheets' "CSV UTF-8"), which is not part of the first line. Lines end
// at CR, CR LF or LF. Read a line at a time, never loaded whole.
class ListFileReader
{
public:
    // Opens the file; on failure returns nullptr and fills *errorText with the reason.
    static std::unique_ptr<ListFileReader> open(const QString& path, QString* errorText);

    // Back to the first line. False when the file cannot seek.
    bool rewind();
    // True when every line has been read (or reading failed; see hasError()).
    bool atEnd() { return m_reader->atEnd(); }
    // The next line, untrimmed; nullopt at the end or on a read error.
    std::optional<QString> readLine() { return m_reader->readLine(); }
    bool hasError() const { return m_reader->hasError(); }
    QString errorString() const;
    QString path() const { return m_file.fileName(); }

private:
    explicit ListFileReader(const QString& path);

    QFile m_file;
    std::unique_ptr<CrLineReader> m_reader;
};

// Hands every line of a list file to take, untrimmed and in order. False, with the reason in
// *errorText, when the file cannot be opened or read to its end.
bool readListFile(const QString& path, const std::function<void(const QString& line)>& take,
                  QString* errorText);

// Appends bytes to the file at path, creating it when missing: all of them or nothing. The
// file is made readable and writable by its owner only, and an existing file of this user that
// others may read is closed to them (mode 0600 where there are modes). When
// the system takes only a part (a full disk, a file size limit), the file is cut back to the
// size it had. False when it could not, with the system's reason in *errorText.
bool appendWhole(const QString& path, const QByteArray& bytes, QString* errorText);

} // namespace platform
