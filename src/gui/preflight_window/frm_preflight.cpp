#include "gui/preflight_window/frm_preflight.h"

#include "gui/widgets/center_form.h"
#include "gui/widgets/controls.h"
#include "gui/widgets/fonts.h"
#include "gui/widgets/twips.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

using preflight::CheckResult;
using preflight::Verdict;

namespace {

// One row for each preflight::CheckId.
constexpr int kRows = 6;

struct Mark
{
    QString sign;
    QColor colour;
    QString meaning; // for screen readers and the tool tip: the sign alone says little
};

Mark markOf(Verdict verdict)
{
    // Dark enough shades that the marks stay readable on the light grey of the dialog.
    switch (verdict) {
    case Verdict::Ok:
        return {QStringLiteral("✓"), QColor(0x1e, 0x84, 0x49), QStringLiteral("問題なし")};
    case Verdict::Warning:
        return {QStringLiteral("⚠"), QColor(0xc4, 0x5f, 0x00), QStringLiteral("注意")};
    case Verdict::Failed:
        return {QStringLiteral("✗"), QColor(0xc0, 0x1f, 0x1f), QStringLiteral("問題あり")};
    }
    return {};
}

QLabel* rowLabel(QWidget* parent, const QString& name)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    // Details quote DNS records and addresses from outside: never read them as rich text.
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

} // namespace

frmPreflight::frmPreflight(const preflight::Inputs& inputs, QWidget* parent,
                           std::optional<QList<CheckResult>> shown)
    : QDialog(parent), m_inputs(inputs), m_checkOnShow(!shown.has_value())
{
    setObjectName(QStringLiteral("frmPreflight"));
    setWindowTitle(QStringLiteral("配信前チェック"));
    setModal(true);
    setFont(shell::pGothicFont(9));
    buildControls();
    if (shown)
        showResults(*shown);
    connect(cmdRecheck, &QPushButton::clicked, this, &frmPreflight::cmdRecheck_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmPreflight::cmdClose_Click);
    adjustSize();
    aMain_sMail::CenterForm(this);
}

void frmPreflight::buildControls()
{
    auto* outer = new QVBoxLayout(this);
    const QString domain = preflight::SenderDomain(m_inputs.senderAddress);
    lblDomain = rowLabel(this, QStringLiteral("lblDomain"));
    // The server is named only when the options chose one: answers that differ from a
    // colleague's then have a visible reason.
    QString head = QStringLiteral("送信元ドメイン：%1")
                       .arg(domain.isEmpty() ? QStringLiteral("（未設定）") : domain);
    if (!m_inputs.nameserver.isNull())
        head +=
            QStringLiteral("　（問い合わせ先DNSサーバー：%1）").arg(m_inputs.nameserver.toString());
    lblDomain->setText(head);
    outer->addWidget(lblDomain);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(shell::twipsToPixels(this, 150));
    grid->setVerticalSpacing(shell::twipsToPixels(this, 120));
    QFont markFont = shell::pGothicFont(15);
    markFont.setBold(true);
    QFont titleFont = font();
    titleFont.setBold(true);
    // A fixed width lets a wrapped detail take the height it needs; a layout left to choose
    // squeezes long sentences into a tall, narrow column.
    const int detailWidth = shell::twipsToPixels(this, 6600);
    const int markWidth = QFontMetrics(markFont).height() + 4;
    for (int i = 0; i < kRows; ++i) {
        QLabel* mark = rowLabel(this, QStringLiteral("lblMark%1").arg(i));
        mark->setFont(markFont);
        mark->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        mark->setMinimumWidth(markWidth);
        QLabel* title = rowLabel(this, QStringLiteral("lblTitle%1").arg(i));
        title->setFont(titleFont);
        // Level with the first line of the detail rather than with the taller mark's top.
        title->setContentsMargins(0, 2, 0, 0);
        QLabel* detail = rowLabel(this, QStringLiteral("lblDetail%1").arg(i));
        detail->setWordWrap(true);
        detail->setFixedWidth(detailWidth);
        detail->setContentsMargins(0, 2, 0, 0);
        // What a detail names (a record to publish) is copied from here.
        detail->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(mark, i, 0);
        grid->addWidget(title, i, 1);
        grid->addWidget(detail, i, 2);
        marks.append(mark);
        titles.append(title);
        details.append(detail);
    }
    outer->addLayout(grid);

    lblStatus = rowLabel(this, QStringLiteral("lblStatus"));
    // The line keeps its height when empty, so the buttons do not jump while checks run.
    lblStatus->setMinimumHeight(lblStatus->fontMetrics().height());
    outer->addWidget(lblStatus);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    cmdRecheck = shell::makeButton(this, "cmdRecheck", QStringLiteral("再チェック(&R)"));
    cmdClose = shell::makeButton(this, "cmdClose", QStringLiteral("閉じる"));
    for (QPushButton* button : {cmdRecheck, cmdClose}) {
        button->setMinimumSize(shell::twipsToPixels(this, 1440), shell::twipsToPixels(this, 420));
        buttons->addWidget(button);
    }
    outer->addLayout(buttons);
    shell::fixWindowSize(this);
}

void frmPreflight::showResults(const QList<CheckResult>& results)
{
    for (int i = 0; i < kRows; ++i) {
        if (i >= results.size()) {
            marks[i]->clear();
            titles[i]->clear();
            details[i]->clear();
            continue;
        }
        const CheckResult& r = results[i];
        const Mark mark = markOf(r.verdict);
        marks[i]->setText(mark.sign);
        marks[i]->setToolTip(mark.meaning);
        marks[i]->setAccessibleName(mark.meaning);
        QPalette palette = marks[i]->palette();
        palette.setColor(QPalette::WindowText, mark.colour);
        marks[i]->setPalette(palette);
        titles[i]->setText(r.title);
        details[i]->setText(r.detail);
    }
}

void frmPreflight::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!m_checkOnShow)
        return;
    m_checkOnShow = false;
    // After the first paint, so that the operator sees the window and what it is doing while
    // the lookups run.
    QTimer::singleShot(0, this, &frmPreflight::cmdRecheck_Click);
}

void frmPreflight::cmdRecheck_Click()
{
    if (m_running)
        return;
    m_running = true;
    const bool hadFocus = cmdRecheck->hasFocus();
    cmdRecheck->setEnabled(false);
    lblStatus->setText(QStringLiteral("確認しています…"));
    // The checks spin a local event loop. A close meanwhile only hides the window: its modal
    // loop is further down the stack, so it is still there to take the results.
    const QList<CheckResult> results = preflight::Check(m_inputs, kCheckLimit);
    showResults(results);
    lblStatus->clear();
    cmdRecheck->setEnabled(true);
    if (hadFocus)
        cmdRecheck->setFocus();
    m_running = false;
}

void frmPreflight::cmdClose_Click()
{
    accept();
}
