#include "core/merge/merge_fields.h"

#include "core/platform/text_files.h"
#include "core/text/trim.h"

namespace merge {

namespace {

// A line break inside a quoted field: the body's own line end, whatever the file used.
const QString kFieldBreak = QStringLiteral("\r\n");

class CsvListReader final : public ListReader
{
public:
    explicit CsvListReader(std::unique_ptr<platform::ListFileReader> file) : m_file(std::move(file))
    {
    }

    bool readHeader()
    {
        m_pending = nextNonBlank();
        if (m_failed)
            return false;
        if (m_pending && !m_pending->fields.constFirst().contains(QLatin1Char('@'))) {
            m_columns.hasHeader = true;
            for (const QString& name : std::as_const(m_pending->fields))
                m_columns.names.append(compose::Trim(name));
            m_pending.reset();
        }
        return true;
    }

    const Columns& columns() const override { return m_columns; }

    std::optional<Row> next() override
    {
        if (m_pending) {
            std::optional<Row> row = std::move(m_pending);
            m_pending.reset();
            return row;
        }
        return nextNonBlank();
    }

    bool hasError() const override { return m_failed; }
    QString errorString() const override { return m_error; }

private:
    static bool isBlank(const Row& row)
    {
        for (const QString& field : row.fields)
            if (!compose::Trim(field).isEmpty())
                return false;
        return true;
    }

    std::optional<Row> nextNonBlank()
    {
        while (std::optional<Row> row = readRow()) {
            // Spreadsheets save an emptied row as a line of bare commas: no recipient either.
            if (!isBlank(*row))
                return row;
        }
        return std::nullopt;
    }

    std::optional<QString> readLine()
    {
        std::optional<QString> line = m_file->readLine();
        if (line)
            ++m_line;
        else if (m_file->hasError())
            fail(m_file->errorString());
        return line;
    }

    void fail(const QString& reason)
    {
        m_failed = true;
        m_error = reason;
    }

    std::optional<Row> readRow()
    {
        if (m_failed)
            return std::nullopt;
        std::optional<QString> line = readLine();
        if (!line)
            return std::nullopt;
        Row row;
        row.line = m_line;
        QString field;
        bool quoted = false;
        bool fieldStart = true;
        qsizetype i = 0;
        for (;;) {
            if (i >= line->size()) {
                if (!quoted)
                    break;
                // The quote goes on over the line end: the break is part of the field.
                line = readLine();
                if (!line) {
                    if (!m_failed)
                        fail(QStringLiteral("%1行目から始まる引用符（\"）が閉じられていません")
                                 .arg(row.line));
                    return std::nullopt;
                }
                field += kFieldBreak;
                i = 0;
                continue;
            }
            const QChar c = line->at(i++);
            if (quoted) {
                if (c != QLatin1Char('"')) {
                    field += c;
                } else if (i < line->size() && line->at(i) == QLatin1Char('"')) {
                    field += c;
                    ++i;
                } else {
                    quoted = false;
                }
            } else if (c == QLatin1Char(',')) {
                row.fields.append(field);
                field.clear();
                fieldStart = true;
                continue;
            } else if (c == QLatin1Char('"') && fieldStart) {
                quoted = true;
            } else {
                // A quote inside an unquoted field, or text after a closing quote, is kept as
                // it stands, as spreadsheets read such a file.
                field += c;
            }
            fieldStart = false;
        }
        row.fields.append(field);
        return row;
    }

    std::unique_ptr<platform::ListFileReader> m_file;
    Columns m_columns;
    // The first data row, read while looking for a header row.
    std::optional<Row> m_pending;
    qint64 m_line = 0;
    bool m_failed = false;
    QString m_error;
};

} // namespace

std::unique_ptr<ListReader> ListReader::open(const QString& path, QString* error)
{
    std::unique_ptr<platform::ListFileReader> file = platform::ListFileReader::open(path, error);
    if (!file)
        return nullptr;
    auto reader = std::make_unique<CsvListReader>(std::move(file));
    if (!reader->readHeader()) {
        if (error)
            *error = reader->errorString();
        return nullptr;
    }
    return reader;
}

std::optional<bool> holdsColumns(const QString& path, QString* error)
{
    std::unique_ptr<platform::ListFileReader> file = platform::ListFileReader::open(path, error);
    if (!file)
        return std::nullopt;
    // Spreadsheets write every column on every row, the header row first: the first line that
    // holds anything tells. A later line with a comma in a list of bare addresses is a mistake
    // that has always gone out as typed, and still does.
    while (std::optional<QString> line = file->readLine()) {
        if (!compose::Trim(*line).isEmpty())
            return line->contains(QLatin1Char(','));
    }
    if (file->hasError()) {
        if (error)
            *error = file->errorString();
        return std::nullopt;
    }
    return false;
}

} // namespace merge
