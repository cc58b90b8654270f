#include "core/merge/list_rows.h"

#include "core/delivery/recipient_list.h"
#include "core/text/trim.h"

namespace merge {

namespace {

const Columns kNoColumns;

} // namespace

std::unique_ptr<ListRows> ListRows::open(const QString& path, QString* error)
{
    const std::optional<bool> columns = holdsColumns(path, error);
    if (!columns)
        return nullptr;
    std::unique_ptr<ListRows> rows(new ListRows);
    if (*columns)
        rows->m_csv = ListReader::open(path, error);
    else
        rows->m_lines = delivery::RecipientList::open(path, error);
    if (!rows->m_csv && !rows->m_lines)
        return nullptr;
    return rows;
}

ListRows::~ListRows() = default;

const Columns& ListRows::columns() const
{
    return m_csv ? m_csv->columns() : kNoColumns;
}

std::optional<Row> ListRows::next()
{
    if (m_csv)
        return m_csv->next();
    while (std::optional<QString> line = m_lines->readLine()) {
        ++m_line;
        if (delivery::RecipientList::isAddressLine(*line))
            return Row{m_line, {compose::Trim(*line)}};
    }
    return std::nullopt;
}

bool ListRows::hasError() const
{
    return m_csv ? m_csv->hasError() : m_lines->hasError();
}

QString ListRows::errorString() const
{
    return m_csv ? m_csv->errorString() : m_lines->errorString();
}

} // namespace merge
