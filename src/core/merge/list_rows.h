#pragma once

#include "core/merge/merge_fields.h"

#include <QString>

#include <memory>
#include <optional>

namespace delivery {
class RecipientList;
}

namespace merge {

// The rows of a recipient list as its mails will be made from them, for the windows that show
// or test a mail before a run: a list with columns is read as CSV, a list of bare addresses line
// by line as a run reads it (one field per row, the trimmed address), so a first line without
// "@" is never taken for a header row there.
class ListRows
{
public:
    // nullptr with *error when the list cannot be opened or its first row read.
    static std::unique_ptr<ListRows> open(const QString& path, QString* error);
    ~ListRows();

    // False for a list of bare addresses: its mails are the texts as typed.
    bool hasColumns() const { return m_csv != nullptr; }
    const Columns& columns() const;
    // The next data row; nullopt at the end or on a read error.
    std::optional<Row> next();
    bool hasError() const;
    QString errorString() const;

private:
    ListRows() = default;

    std::unique_ptr<ListReader> m_csv;
    std::unique_ptr<delivery::RecipientList> m_lines;
    qint64 m_line = 0;
};

} // namespace merge
