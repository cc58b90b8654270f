#pragma once

#include "core/journal/journal_report.h"

#include <QDialog>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;
class QTableView;

namespace shell {
class DeliveryChart;
class RowsModel;
} // namespace shell

// The results window (配信結果): the journal's runs, newest first, and for the selected run
// the counts of its states, its mails per minute, its ten busiest domains and its failed
// addresses; it saves the run as CSV and writes a list of the addresses worth another try.
// Modal; reads the journal when it opens.
class frmResults : public QDialog
{
    Q_OBJECT
public:
    explicit frmResults(const QString& appDir, QWidget* parent = nullptr);
    ~frmResults() override;

    // Asked before a retry list replaces the main window's list: true while a run (or an
    // armed schedule) holds the list, which must not change under it.
    void setListLocked(std::function<bool()> locked) { m_listLocked = std::move(locked); }

    void cmdRetry_Click();
    void cmdCsv_Click();
    void CloseCommand_Click();
    // Shows the run of the given row of the list.
    void showRun(int row);

    QLabel* lblRuns = nullptr;
    QTableView* grdRuns = nullptr;
    QLabel* lblCounts = nullptr;
    shell::DeliveryChart* picChart = nullptr;
    QLabel* lblDomains = nullptr;
    QTableView* grdDomains = nullptr;
    QLabel* lblFailed = nullptr;
    QTableView* grdFailed = nullptr;
    QCheckBox* chkUncertain = nullptr;
    QPushButton* cmdRetry = nullptr;
    QPushButton* cmdCsv = nullptr;
    QPushButton* CloseCommand = nullptr;

signals:
    // A retry list was written at path: it becomes the main window's list.
    void retryListWritten(const QString& path);

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildControls();
    void loadRuns();
    // A failed read of the journal: say so, naming the file.
    void readFailed(const QString& reason);
    const journal::RunRow* selectedRun() const;

    QString m_appDir;
    std::unique_ptr<journal::JournalReport> m_report;
    QList<journal::RunRow> m_runs;
    std::function<bool()> m_listLocked;
    shell::RowsModel* m_runsModel = nullptr;
    shell::RowsModel* m_domainsModel = nullptr;
    shell::RowsModel* m_failedModel = nullptr;
    QString m_loadProblem;
    bool m_problemShown = false;
};
