#include "gui/bulk_dialog/pace_rules_editor.h"

#include "gui/widgets/controls.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

enum Column { PatternColumn, GapColumn, PerHourColumn };

// Cells are edited in the program's own boxes: the domain's box keeps to one line, the numbers'
// boxes take digits only.
class CellDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex& index) const override
    {
        if (index.column() == PatternColumn)
            return shell::makeEdit(parent, "txtPacePattern");
        // Seven digits hold the largest hourly limit.
        return shell::makeDigitEdit(parent, "txtPaceNumber", 7);
    }
};

QTableWidgetItem* numberItem(int value)
{
    auto* item = new QTableWidgetItem(QString::number(value));
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

} // namespace

PaceRulesEditor::PaceRulesEditor(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("PaceRulesEditor"));
    tblPaceRules = new QTableWidget(0, 3, this);
    tblPaceRules->setObjectName(QStringLiteral("tblPaceRules"));
    tblPaceRules->setHorizontalHeaderLabels({QStringLiteral("宛先ドメイン"),
                                             QStringLiteral("最小間隔（秒）"),
                                             QStringLiteral("1時間の上限（通）")});
    tblPaceRules->setItemDelegate(new CellDelegate(tblPaceRules));
    tblPaceRules->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblPaceRules->setSelectionMode(QAbstractItemView::SingleSelection);
    QHeaderView* header = tblPaceRules->horizontalHeader();
    header->setSectionResizeMode(PatternColumn, QHeaderView::Stretch);
    // The numbers' columns as wide as their titles, which are wider than any value.
    header->setSectionResizeMode(GapColumn, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(PerHourColumn, QHeaderView::ResizeToContents);
    tblPaceRules->verticalHeader()->setVisible(false);

    // The access keys are free in the delivery options dialog and the settings dialog alike.
    cmdAddRule = shell::makeButton(this, "cmdAddRule", QStringLiteral("行を追加(&W)"));
    cmdRemoveRule = shell::makeButton(this, "cmdRemoveRule", QStringLiteral("行を削除(&X)"));
    cmdCarrierPresets =
        shell::makeButton(this, "cmdCarrierPresets", QStringLiteral("携帯キャリアの推奨値(&R)"));
    lblPaceNote = shell::makeLabel(
        this, "lblPaceNote",
        QStringLiteral("「*.ne.jp」は ne.jp の下のすべてのドメインに、「*」はすべてのドメインに"
                       "当てはまり、いちばん詳しい行が使われます。0 は制限なしです。"
                       "どの行にも当てはまらないドメインは待たせません。"));
    lblPaceNote->setWordWrap(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdAddRule);
    buttons->addWidget(cmdRemoveRule);
    buttons->addStretch();
    buttons->addWidget(cmdCarrierPresets);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tblPaceRules, 1);
    layout->addLayout(buttons);
    layout->addWidget(lblPaceNote);

    connect(cmdAddRule, &QPushButton::clicked, this, &PaceRulesEditor::addRow);
    connect(cmdRemoveRule, &QPushButton::clicked, this, &PaceRulesEditor::removeRow);
    connect(cmdCarrierPresets, &QPushButton::clicked, this, &PaceRulesEditor::fillCarrierPresets);
}

void PaceRulesEditor::appendRow(const pacing::PaceRule& rule)
{
    const int row = tblPaceRules->rowCount();
    tblPaceRules->insertRow(row);
    tblPaceRules->setItem(row, PatternColumn, new QTableWidgetItem(rule.pattern));
    tblPaceRules->setItem(row, GapColumn, numberItem(rule.gapSeconds));
    tblPaceRules->setItem(row, PerHourColumn, numberItem(rule.perHour));
}

void PaceRulesEditor::setRules(const QList<pacing::PaceRule>& rules)
{
    tblPaceRules->setRowCount(0);
    for (const pacing::PaceRule& rule : rules)
        appendRow(rule);
}

std::optional<QList<pacing::PaceRule>> PaceRulesEditor::rules(QString* problem)
{
    auto fail = [this, problem](int row, int column, const QString& why) {
        if (problem)
            *problem = QStringLiteral("送信ペースの%1行目: %2").arg(row + 1).arg(why);
        tblPaceRules->setCurrentCell(row, column);
        return std::nullopt;
    };
    auto cellText = [this](int row, int column) {
        const QTableWidgetItem* item = tblPaceRules->item(row, column);
        return item ? item->text().trimmed() : QString();
    };
    QList<pacing::PaceRule> rules;
    for (int row = 0; row < tblPaceRules->rowCount(); ++row) {
        pacing::PaceRule rule;
        rule.pattern = cellText(row, PatternColumn);
        bool ok = false;
        const QString gap = cellText(row, GapColumn);
        rule.gapSeconds = gap.toInt(&ok);
        // The digit boxes let nothing else in, but an empty cell or a sign may still be there.
        if (!ok || gap.startsWith(QLatin1Char('+')) || gap.startsWith(QLatin1Char('-')))
            return fail(row, GapColumn, QStringLiteral("最小間隔（秒）は 0 以上の整数です。"));
        const QString perHour = cellText(row, PerHourColumn);
        rule.perHour = perHour.toInt(&ok);
        if (!ok || perHour.startsWith(QLatin1Char('+')) || perHour.startsWith(QLatin1Char('-')))
            return fail(row, PerHourColumn,
                        QStringLiteral("1時間の上限（通）は 0 以上の整数です。"));
        rules.append(rule);
    }
    QString why;
    const qsizetype bad = pacing::findBadRule(rules, &why);
    if (bad >= 0) {
        const pacing::PaceRule& rule = rules.at(bad);
        const int column = !pacing::normalizedPattern(rule.pattern, nullptr) ? PatternColumn
                           : rule.gapSeconds > pacing::kMaxGapSeconds        ? GapColumn
                           : rule.perHour > pacing::kMaxPerHour              ? PerHourColumn
                                                                             : PatternColumn;
        return fail(int(bad), column, why);
    }
    return rules;
}

void PaceRulesEditor::addRow()
{
    appendRow(pacing::PaceRule{});
    const int row = tblPaceRules->rowCount() - 1;
    tblPaceRules->setCurrentCell(row, PatternColumn);
    tblPaceRules->editItem(tblPaceRules->item(row, PatternColumn));
}

void PaceRulesEditor::removeRow()
{
    const int row = tblPaceRules->currentRow();
    if (row >= 0)
        tblPaceRules->removeRow(row);
}

void PaceRulesEditor::fillCarrierPresets()
{
    for (const pacing::PaceRule& preset : pacing::carrierPresets()) {
        int found = -1;
        for (int row = 0; row < tblPaceRules->rowCount() && found < 0; ++row) {
            const QTableWidgetItem* item = tblPaceRules->item(row, PatternColumn);
            if (item && pacing::normalizedPattern(item->text(), nullptr) == preset.pattern)
                found = row;
        }
        if (found < 0) {
            appendRow(preset);
            continue;
        }
        tblPaceRules->item(found, GapColumn)->setText(QString::number(preset.gapSeconds));
        tblPaceRules->item(found, PerHourColumn)->setText(QString::number(preset.perHour));
    }
}
