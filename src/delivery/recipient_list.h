#pragma once

#include "platform/text_files.h"

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
    // Opens the file; on failure returns nullopt and fills *errorText with the reason.
    static std::unique_ptr<RecipientList> open(const QString& path, QString* errorText);

    bool atEnd() { return m_reader.atEnd(); }
    // The next line, untrimmed; nullopt at the end or on a read error.
    std::optional<QString> readLine() { return m_reader.readLine(); }
    bool hasError() const { return m_reader.hasError(); }
    QString errorString() const { return m_file.errorString(); }

private:
    explicit RecipientList(const QString& path);

    QFile m_file;
    platform::CrLineReader m_reader;
};

} // namespace delivery
