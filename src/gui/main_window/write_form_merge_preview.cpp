// Merge fields in the main window: the test mail's texts from the list's first data row, and the
// merge preview.
#include "gui/main_window/write_form.h"

#include "core/settings/a_main_smail.h"
#include "core/text/trim.h"
#include "gui/merge_preview/frm_merge_preview.h"
#include "gui/platform/message_boxes.h"

#include <QAction>
#include <QLineEdit>
#include <QPlainTextEdit>

using aMain_sMail::Settings;
using platform::MsgIcon;
using transport::MailRequest;

namespace {

QString listUnreadableText(const QString& listPath, const QString& reason)
{
    return QStringLiteral("CSVファイルを読み込めませんでした。\n%1\n%2").arg(listPath, reason);
}

} // namespace

merge::Template WriteForm::mergeTemplate(const bulk::RunOptions& options) const
{
    return merge::Template(SubjectText->text(), txtFrom->text(), bodyText(),
                           options.settings().footer);
}

std::unique_ptr<merge::ListRows> WriteForm::openMergeList(const QString& listPath)
{
    QString reason;
    std::unique_ptr<merge::ListRows> rows = merge::ListRows::open(listPath, &reason);
    if (!rows) {
        platform::msgBox(this, listUnreadableText(listPath, reason), MsgIcon::Exclamation);
        if (!isEnding())
            ToText->setFocus();
    }
    return rows;
}

std::optional<merge::Row> WriteForm::firstMergeRow(merge::ListRows& rows, const QString& listPath)
{
    std::optional<merge::Row> first = rows.next();
    if (first)
        return first;
    platform::msgBox(this,
                     rows.hasError()
                         ? listUnreadableText(listPath, rows.errorString())
                         : QStringLiteral("配信先アドレスがありません。\n%1").arg(listPath),
                     MsgIcon::Exclamation);
    if (!isEnding())
        ToText->setFocus();
    return std::nullopt;
}

bool WriteForm::testMailFields(const bulk::RunOptions& options,
                               std::optional<merge::Filled>* filled)
{
    // A mail without fields does not need the list at all: it goes exactly as it always did.
    const merge::Template texts = mergeTemplate(options);
    if (texts.isPlain())
        return true;
    const QString listPath = compose::Trim(ToText->text());
    std::unique_ptr<merge::ListRows> rows = openMergeList(listPath);
    if (!rows)
        return false;
    if (!rows->hasColumns())
        return true;
    if (const std::optional<QString> missing = texts.missingField(rows->columns())) {
        platform::msgBox(
            this, merge::MissingFieldText(*missing, rows->columns()) + QLatin1Char('\n') + listPath,
            MsgIcon::Exclamation);
        return false;
    }
    const std::optional<merge::Row> first = firstMergeRow(*rows, listPath);
    if (!first)
        return false;
    std::variant<merge::Filled, merge::EmptyField> result = texts.fill(rows->columns(), *first);
    if (const auto* empty = std::get_if<merge::EmptyField>(&result)) {
        platform::msgBox(this, merge::EmptyFieldText(empty->name), MsgIcon::Exclamation);
        return false;
    }
    *filled = std::get<merge::Filled>(std::move(result));
    return true;
}

void WriteForm::mnDoc_Preview_Click()
{
    if (isEnding())
        return;
    const QString listPath = compose::Trim(ToText->text());
    if (listPath.isEmpty()) {
        platform::msgBox(this, QStringLiteral("CSVファイルを指定して下さい。"),
                         MsgIcon::Exclamation);
        if (!isEnding())
            ToText->setFocus();
        return;
    }
    // The options a run reads: its footer, and the suppression list that keeps a row's mail
    // from going at all.
    std::optional<bulk::RunOptions> read = readBulkOptions(true);
    if (!read)
        return;
    const auto options = std::make_shared<const bulk::RunOptions>(std::move(*read));
    const merge::Template texts = mergeTemplate(*options);

    std::unique_ptr<merge::ListRows> rows = openMergeList(listPath);
    if (!rows)
        return;
    const bool columns = rows->hasColumns();
    const merge::Columns header = rows->columns();
    if (columns) {
        if (const std::optional<QString> missing = texts.missingField(header)) {
            platform::msgBox(
                this, merge::MissingFieldText(*missing, header) + QLatin1Char('\n') + listPath,
                MsgIcon::Exclamation);
            return;
        }
    }
    std::optional<merge::Row> first = firstMergeRow(*rows, listPath);
    if (!first)
        return;

    // A list of bare addresses fills nothing: each mail is the texts as typed.
    const auto mailFor = [this, options, texts, columns,
                          header](const merge::Row& row) -> std::variant<MailRequest, QString> {
        const QString address = compose::Trim(row.fields.value(0));
        if (const std::optional<QString> skip = options->skipReason(address))
            return *skip;
        std::optional<merge::Filled> filled;
        if (columns) {
            std::variant<merge::Filled, merge::EmptyField> result = texts.fill(header, row);
            if (const auto* empty = std::get_if<merge::EmptyField>(&result))
                return merge::EmptyFieldText(empty->name);
            filled = std::get<merge::Filled>(std::move(result));
        }
        return mergedMail(address, QString(), filled, *options, bulk::MailKind::Delivery);
    };
    const auto reopen = [listPath](QString* error) {
        return merge::ListRows::open(listPath, error);
    };
    frmMergePreview dialog(listPath, std::move(rows), std::move(*first), reopen, mailFor, this);
    dialog.exec();
}
