// Merge fields in the run: a list with columns read row by row, each mail's texts filled from
// its row. The reading and the filling are kez_core's (core/merge).
#include "gui/main_window/write_form.h"

#include "core/delivery/recipient_list.h"
#include "gui/platform/message_boxes.h"

#include <QLineEdit>

using platform::MsgIcon;

bool WriteForm::prepareMergeRun(const QString& listPath, const QString& footer,
                                std::optional<MergeRun>& merge)
{
    merge.reset();
    QString reason;
    std::unique_ptr<merge::RunRows> rows;
    const std::optional<bool> columns = merge::holdsColumns(listPath, &reason);
    if (columns && !*columns)
        return true;
    if (columns)
        rows = merge::RunRows::open(listPath, &reason);
    // A header row alone, or a quote left open, is found here and not after the start notice.
    if (rows && rows->noneLeft() && rows->hasError()) {
        reason = rows->errorString();
        rows.reset();
    }
    if (!rows) {
        platform::msgBox(
            this,
            QStringLiteral("CSVファイルを読み込めませんでした。\n%1\n%2").arg(listPath, reason),
            MsgIcon::Exclamation);
        return false;
    }
    if (rows->noneLeft()) {
        platform::msgBox(this, QStringLiteral("配信先アドレスがありません。\n%1").arg(listPath),
                         MsgIcon::Exclamation);
        return false;
    }
    merge::Template texts(SubjectText->text(), txtFrom->text(), bodyText(), footer);
    if (const std::optional<QString> missing = texts.missingField(rows->columns())) {
        // The same words as the preview and the test mail: a list without a header row is
        // told to number its fields, not that its header lacks one.
        platform::msgBox(
            this, merge::MissingFieldText(*missing, rows->columns()) + QLatin1Char('\n') + listPath,
            MsgIcon::Exclamation);
        return false;
    }
    merge.emplace(MergeRun{std::move(texts), std::move(rows)});
    return true;
}

std::optional<std::variant<merge::Filled, merge::EmptyField>>
WriteForm::fillRow(const journal::MailRow& row)
{
    const std::optional<merge::Row> fields = m_merge->rows->rowAt(row.line);
    if (!fields) {
        m_heldRow = row;
        listReadFailed();
        return std::nullopt;
    }
    return m_merge->texts.fill(m_merge->rows->columns(), *fields);
}

bool WriteForm::listHasError() const
{
    return m_merge ? m_merge->rows->hasError() : run.List->hasError();
}

QString WriteForm::listErrorText() const
{
    return m_merge ? m_merge->rows->errorString() : run.List->errorString();
}
