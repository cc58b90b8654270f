#pragma once

#include "core/platform/text_files.h"

#include <QString>

#include <memory>
#include <optional>

namespace delivery {

// The recipient list of a run, open for the whole run and read one line per mail, never
// loaded whole. Lines end at CR, CR LF or LF. A UTF-8 byte-order mark at the start
// (spreadsheets' "CSV UTF-8") is not part of the first address and switches the list to UTF-8;
// otherwise it is code page 932.
//
// Read it either by lines (readLine, atEnd) or by addresses (readAddress, noAddressLeft,
// hasAddress), not both in one pass.
class RecipientList
{
public:
    // Opens the file; on failure returns nullptr and fills *errorText with the reason.
    static std::unique_ptr<RecipientList> open(const QString& path, QString* errorText);

    // Whether a list line names a recipient at all: a line that is empty or blank after the
    // program's trimming does not.
    static bool isAddressLine(const QString& line);

    // The start test of a run: whether the list holds at least one address line. Reads up to
    // the first one and goes back to the start afterwards. nullopt when the list could not be
    // read (*errorText).
    std::optional<bool> hasAddress(QString* errorText);

    // True when every line has been read (or reading failed; see hasError()).
    bool atEnd() { return m_reader->atEnd(); }
    // The next line, untrimmed; nullopt at the end or on a read error.
    std::optional<QString> readLine() { return m_reader->readLine(); }

    // The next address line, trimmed, passing over blank lines; nullopt at the end or on a
    // read error.
    std::optional<QString> readAddress();
    // True when no address line is left (blank lines may be), or reading failed.
    bool noAddressLeft();

    bool hasError() const { return m_reader->hasError(); }
    QString errorString() const { return m_reader->errorString(); }
    QString path() const { return m_reader->path(); }

private:
    explicit RecipientList(std::unique_ptr<platform::ListFileReader> reader);
    bool rewind();

    std::unique_ptr<platform::ListFileReader> m_reader;
    // An address read ahead by noAddressLeft().
    std::optional<QString> m_next;
};

} // namespace delivery
