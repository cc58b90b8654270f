#include "gui/merge_preview/frm_merge_preview.h"

#include "core/text/trim.h"
#include "gui/platform/message_boxes.h"
#include "gui/widgets/center_form.h"
#include "gui/widgets/controls.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

using shell::makeButton;
using shell::makeLabel;
using shell::placeTwips;

frmMergePreview::frmMergePreview(const QString& listPath, std::unique_ptr<merge::ListRows> rows,
                                 merge::Row first, OpenRows reopen, MailFor mailFor,
                                 QWidget* parent)
    : QDialog(parent), m_listPath(listPath), m_rows(std::move(rows)), m_reopen(std::move(reopen)),
      m_mailFor(std::move(mailFor)), m_current(std::move(first))
{
    setObjectName(QStringLiteral("frmMergePreview"));
    setWindowTitle(QStringLiteral("差し込みプレビュー"));
    setModal(true);
    setFont(shell::pGothicFont(9));
    buildControls();

    connect(cmdPrev, &QPushButton::clicked, this, &frmMergePreview::cmdPrev_Click);
    connect(cmdNext, &QPushButton::clicked, this, &frmMergePreview::cmdNext_Click);
    connect(CloseCommand, &QPushButton::clicked, this, &QDialog::reject);

    aMain_sMail::CenterForm(this);
    readAhead();
    showCurrent();
    (cmdNext->isEnabled() ? cmdNext : CloseCommand)->setFocus();
}

frmMergePreview::~frmMergePreview() = default;

void frmMergePreview::buildControls()
{
    setFixedSize(shell::twipsToPixels(this, 9600), shell::twipsToPixels(this, 7500));

    const auto readOnlyEdit = [this](const char* name) {
        QLineEdit* edit = shell::makeEdit(this, name);
        edit->setReadOnly(true);
        return edit;
    };
    lblLine = makeLabel(this, "lblLine", QStringLiteral("行番号"));
    placeTwips(lblLine, 120, 165, 900, 270);
    txtLine = readOnlyEdit("txtLine");
    placeTwips(txtLine, 1080, 120, 1200, 330);
    txtLine->setAlignment(Qt::AlignRight);
    lblAddress = makeLabel(this, "lblAddress", QStringLiteral("宛先"));
    placeTwips(lblAddress, 2520, 165, 600, 270);
    txtAddress = readOnlyEdit("txtAddress");
    placeTwips(txtAddress, 3120, 120, 6360, 330);

    lblSubject = makeLabel(this, "lblSubject", QStringLiteral("件名"));
    placeTwips(lblSubject, 120, 585, 900, 270);
    txtSubject = readOnlyEdit("txtSubject");
    placeTwips(txtSubject, 1080, 540, 8400, 330);
    lblFrom = makeLabel(this, "lblFrom", QStringLiteral("送信者"));
    placeTwips(lblFrom, 120, 1005, 900, 270);
    txtFrom = readOnlyEdit("txtFrom");
    placeTwips(txtFrom, 1080, 960, 8400, 330);

    lblBody = makeLabel(this, "lblBody", QStringLiteral("本文"));
    placeTwips(lblBody, 120, 1410, 900, 270);
    txtBody = new QPlainTextEdit(this);
    txtBody->setObjectName(QStringLiteral("txtBody"));
    placeTwips(txtBody, 120, 1680, 9360, 5040);
    txtBody->setReadOnly(true);
    txtBody->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtBody->setTabChangesFocus(true);
    // The face of the main window's body, so that lines break where the operator saw them.
    txtBody->setFont(shell::gothicFont(12));

    cmdPrev = makeButton(this, "cmdPrev", QStringLiteral("< 前へ(&B)"));
    placeTwips(cmdPrev, 120, 6870, 1440, 480);
    cmdNext = makeButton(this, "cmdNext", QStringLiteral("次へ(&N) >"));
    placeTwips(cmdNext, 1680, 6870, 1440, 480);
    CloseCommand = makeButton(this, "CloseCommand", QStringLiteral("閉じる(&C)"));
    placeTwips(CloseCommand, 8040, 6870, 1440, 480);

    shell::setTabChain(
        {cmdNext, cmdPrev, CloseCommand, txtLine, txtAddress, txtSubject, txtFrom, txtBody});
}

void frmMergePreview::readAhead()
{
    m_ahead = m_rows->next();
    m_aheadError = !m_ahead && m_rows->hasError() ? m_rows->errorString() : QString();
}

void frmMergePreview::showCurrent()
{
    const merge::Row& row = *m_current;
    txtLine->setText(QString::number(row.line));
    txtAddress->setText(compose::Trim(row.fields.value(0)));
    const std::variant<transport::MailRequest, QString> mail = m_mailFor(row);
    if (const auto* request = std::get_if<transport::MailRequest>(&mail)) {
        txtSubject->setText(request->subject);
        txtFrom->setText(request->from);
        shell::setForeground(txtBody, palette().color(QPalette::Text));
        txtBody->setPlainText(request->body);
    } else {
        // No mail goes to this row: the window shows why, as the error log will, in red so
        // that it cannot pass for a body.
        txtSubject->clear();
        txtFrom->clear();
        shell::setForeground(txtBody, Qt::red);
        txtBody->setPlainText(std::get<QString>(mail));
    }
    txtSubject->setCursorPosition(0);
    txtFrom->setCursorPosition(0);
    cmdPrev->setEnabled(m_index > 0);
    cmdNext->setEnabled(m_ahead || !m_aheadError.isEmpty());
    // A button that turned itself off hands the focus to the other one.
    if (!cmdNext->isEnabled() && cmdPrev->isEnabled())
        cmdPrev->setFocus();
    else if (!cmdPrev->isEnabled() && cmdNext->isEnabled())
        cmdNext->setFocus();
}

void frmMergePreview::cmdNext_Click()
{
    if (!m_ahead) {
        if (!m_aheadError.isEmpty())
            readFailed(m_aheadError);
        return;
    }
    m_current = std::move(m_ahead);
    ++m_index;
    readAhead();
    showCurrent();
}

void frmMergePreview::cmdPrev_Click()
{
    if (m_index == 0)
        return;
    // The list is read forward only: the row before is found by reading it again from the top.
    QString error;
    std::unique_ptr<merge::ListRows> rows = m_reopen(&error);
    if (!rows) {
        readFailed(error);
        return;
    }
    std::optional<merge::Row> row;
    for (qint64 i = 0; i < m_index; ++i) {
        row = rows->next();
        if (!row) {
            // The file changed under the window: it holds fewer rows than were shown.
            readFailed(rows->hasError() ? rows->errorString() : QString());
            return;
        }
    }
    m_rows = std::move(rows);
    m_current = std::move(row);
    --m_index;
    readAhead();
    showCurrent();
}

void frmMergePreview::readFailed(const QString& reason)
{
    platform::msgBox(
        this, QStringLiteral("CSVファイルを読み込めませんでした。\n%1\n%2").arg(m_listPath, reason),
        platform::MsgIcon::Exclamation);
}

void frmMergePreview::keyPressEvent(QKeyEvent* event)
{
    if (!shell::takeEnterInBox(event))
        QDialog::keyPressEvent(event);
}
