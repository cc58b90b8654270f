#pragma once

#include "core/platform/text_files.h"

#include <QFile>
#include <QString>

#include <memory>
#include <optional>

namespace delivery {

// The recipient list of a run, open for the whole run and read one line per mail, never
// loaded whole. Lines end at CR with an optional LF; a lone LF does not end a line. A UTF-8
// byte-order mark at the start (spreadsheets' "CSV UTF-8") is not part of the first address
// and switches the list to UTF-8; otherwise it is code page 932.
class RecipientList
{
public:
    // Opens the file; on failure returns nullptr and fills *errorText with the reason.
    static std::unique_ptr<RecipientList> open(const QString& path, QString* errorText);

    // The start test of a run: whether the list holds at least two lines (a one-line or empty
    // list does not start). Reads the first line and goes back to the start afterwards.
    // Returns nullopt when the list could not be read, with the reason in *errorText.
    std::optional<bool> hasSecondLine(QString* errorText);

    // True when every line has been read (or reading failed; see hasError()).
    bool atEnd() { return m_reader->atEnd(); }
    // The next line, untrimmed; nullopt at the end or on a read error.
    std::optional<QString> readLine() { return m_reader->readLine(); }
    bool hasError() const { return m_reader->hasError(); }
    QString errorString() const { return m_file.errorString(); }
    QString path() const { return m_file.fileName(); }

private:
    explicit RecipientList(const QString& path);
    // Back to the first line, past a byte-order mark. False when the file cannot seek.
    bool rewind();

    QFile m_file;
    std::unique_ptr<platform::CrLineReader> m_reader;
};

} // namespace delivery
