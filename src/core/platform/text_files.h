#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

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

enum class TextEncoding { Cp932, Utf8 };

// Reads a text file line by line, the way the program has always split lines: a line ends at
// a carriage return, which may be followed by a line feed; a line feed alone does not end a
// line. A last line without a line end is read too. Reads in chunks, so a list of any length
// costs the same memory.
class CrLineReader
{
public:
    explicit CrLineReader(QIODevice* device, TextEncoding encoding = TextEncoding::Cp932);

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

    QIODevice* m_device;
    TextEncoding m_encoding;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    bool m_error = false;
};

} // namespace platform
