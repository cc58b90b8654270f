#pragma once

#include "core/merge/list_rows.h"
#include "core/transport/mail_transport.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <optional>
#include <variant>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The merge preview (差し込みプレビュー): the mail of one data row of the list as a run will send
// it, row by row. Read-only and modal. The list is never held whole: the window keeps the row
// shown and the one after it, and going back reads the list again from its start.
class frmMergePreview : public QDialog
{
    Q_OBJECT
public:
    // Opens the list again from its start; nullptr with *error when it cannot.
    using OpenRows = std::function<std::unique_ptr<merge::ListRows>(QString* error)>;
    // The mail a row gets, or the reason it gets none (an empty field, the suppression list).
    using MailFor = std::function<std::variant<transport::MailRequest, QString>(const merge::Row&)>;

    // rows: the list at listPath, read up to its first data row, which is first.
    frmMergePreview(const QString& listPath, std::unique_ptr<merge::ListRows> rows,
                    merge::Row first, OpenRows reopen, MailFor mailFor, QWidget* parent = nullptr);
    ~frmMergePreview() override;

    void cmdPrev_Click();
    void cmdNext_Click();

    // The data row shown, 0 for the first.
    qint64 shownIndex() const { return m_index; }

    QLabel* lblLine = nullptr;
    QLineEdit* txtLine = nullptr;
    QLabel* lblAddress = nullptr;
    QLineEdit* txtAddress = nullptr;
    QLabel* lblSubject = nullptr;
    QLineEdit* txtSubject = nullptr;
    QLabel* lblFrom = nullptr;
    QLineEdit* txtFrom = nullptr;
    QLabel* lblBody = nullptr;
    QPlainTextEdit* txtBody = nullptr;
    QPushButton* cmdPrev = nullptr;
    QPushButton* cmdNext = nullptr;
    QPushButton* CloseCommand = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildControls();
    // Reads the row after the one shown, for the next button.
    void readAhead();
    void showCurrent();
    // The list could not be read on: say so, naming the file.
    void readFailed(const QString& reason);

    QString m_listPath;
    std::unique_ptr<merge::ListRows> m_rows;
    OpenRows m_reopen;
    MailFor m_mailFor;
    qint64 m_index = 0;
    std::optional<merge::Row> m_current;
    std::optional<merge::Row> m_ahead;
    // Why the row after the one shown could not be read; the next button says it.
    QString m_aheadError;
};
