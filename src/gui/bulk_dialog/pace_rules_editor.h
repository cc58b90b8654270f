#pragma once

#include "core/pacing/pacer.h"

#include <QList>
#include <QWidget>

#include <optional>

class QLabel;
class QPushButton;
class QTableWidget;

// The table of per-domain pacing rules (PACING of bulk.ini), for a page of the delivery options
// dialog: a row per destination domain pattern with its minimum gap and hourly limit, buttons
// to add and delete rows and to fill in the mobile carriers' cautious values.
class PaceRulesEditor : public QWidget
{
    Q_OBJECT
public:
    explicit PaceRulesEditor(QWidget* parent = nullptr);

    // Shows rules, replacing every row.
    void setRules(const QList<pacing::PaceRule>& rules);
    // The rows as rules, or nullopt when one is not a rule; *problem then names the row and the
    // reason (Japanese, ready for a message box), and that row becomes the current one.
    std::optional<QList<pacing::PaceRule>> rules(QString* problem);

    QTableWidget* tblPaceRules;
    QPushButton* cmdAddRule;
    QPushButton* cmdRemoveRule;
    QPushButton* cmdCarrierPresets;
    QLabel* lblPaceNote;

private:
    void appendRow(const pacing::PaceRule& rule);
    void addRow();
    void removeRow();
    // The carriers' rows: a row of the same domain takes their values, the others are added.
    void fillCarrierPresets();
};
