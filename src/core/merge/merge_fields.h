#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <variant>

// Merge fields (差し込み項目): a recipient list with columns fills "{{列名}}", "{{2}}" and
// "{{氏名|お客様}}" in the subject, the sender name, the body and the footer, per recipient.
// A list of bare addresses has no columns and its mails stay exactly as typed.
namespace merge {

// The columns of a list. With a header row (the first row's first field holds no "@") the
// fields are named by it and that row gets no mail; without one they are numbered from 1, the
// address being column 1.
struct Columns
{
    bool hasHeader = false;
    QStringList names; // the header row's fields; empty without a header row
};

// One data row of the list.
struct Row
{
    qint64 line = 0;    // the line the row starts on, 1-based, as an editor counts lines
    QStringList fields; // fields[0] is the address, untrimmed as read
};

// A list read as CSV (RFC 4180: quoted fields, doubled quotes, a comma or line break inside
// quotes) in the encodings a list is read in (UTF-8 with a byte-order mark, else code page
// 932), one row at a time: a list of any length costs the memory of one row.
class ListReader
{
public:
    // Opens the list and reads its header row, if it has one. nullptr with *error on failure.
    static std::unique_ptr<ListReader> open(const QString& path, QString* error);
    virtual ~ListReader() = default;

    virtual const Columns& columns() const = 0;
    // The next data row, passing over blank lines; nullopt at the end or on a read error.
    virtual std::optional<Row> next() = 0;
    virtual bool hasError() const = 0;
    virtual QString errorString() const = 0;
};

// The rows of a run's list with columns, read as the run reaches them: the memory of a row or
// two whatever the list's length. A row comes back by its first line when its mail goes later
// than its turn (it waited for its domain) or in a resumed run.
class RunRows
{
public:
    static std::unique_ptr<RunRows> open(const QString& path, QString* error);

    const Columns& columns() const { return m_inOrder->columns(); }
    // The next data row in list order; nullopt at the end or on a read error.
    std::optional<Row> next();
    // True when no data row is left, or reading failed.
    bool noneLeft();
    // The data row that starts on line; nullopt with errorString() when there is none.
    std::optional<Row> rowAt(qint64 line);

    bool hasError() const { return !m_error.isEmpty(); }
    QString errorString() const { return m_error; }
    QString path() const { return m_path; }

private:
    RunRows(QString path, std::unique_ptr<ListReader> inOrder);
    bool reopenFinder();

    QString m_path;
    std::unique_ptr<ListReader> m_inOrder;
    std::optional<Row> m_ahead; // read by noneLeft()
    std::optional<Row> m_last;  // the row next() gave last: nearly every mail's row
    // A second reader for rows found again, rewound only when asked for an earlier one.
    std::unique_ptr<ListReader> m_finder;
    std::optional<Row> m_found;
    QString m_error;
};

// Whether a list is read with columns: its first line that is not blank holds a comma. A list
// of bare addresses has none there (an address cannot hold one) and is read line by line as it
// always was. nullopt with *error when the file cannot be read.
std::optional<bool> holdsColumns(const QString& path, QString* error);

// The texts of one mail after filling.
struct Filled
{
    QString subject;
    QString senderName;
    QString body;
    QString footer;
};

// The field a row left empty without a default: the row gets no mail.
struct EmptyField
{
    QString name; // as written between the braces, without the default
};

// The error-log text of a row skipped for an empty field:
// "差し込み項目「氏名」が空のため送信しませんでした".
QString EmptyFieldText(const QString& name);

// The refusal of a start (a run, the test mail, the preview) whose mail uses a field the list
// does not have: the header row lacks the name, or the list has no header row to name it.
QString MissingFieldText(const QString& name, const Columns& columns);

// The subject, sender name, body and footer with their fields found once, at the start of a
// run, and filled per row. Filling is one pass: a value that itself holds "{{...}}" is sent as
// it is, never filled again.
class Template
{
public:
    Template(const QString& subject, const QString& senderName, const QString& body,
             const QString& footer);

    // True when no text holds a field: the mails are the texts as typed.
    bool isPlain() const;
    // The names of the fields used, in order of first use, without defaults.
    QStringList fieldsUsed() const;
    // The first field used that the columns do not have, or nullopt when all are there. The
    // start of a run is refused with it named.
    std::optional<QString> missingField(const Columns& columns) const;
    // The texts for one row.
    std::variant<Filled, EmptyField> fill(const Columns& columns, const Row& row) const;

private:
    struct Compiled;
    std::shared_ptr<const Compiled> m_compiled;
};

} // namespace merge
