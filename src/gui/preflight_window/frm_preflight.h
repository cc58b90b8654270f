#pragma once

#include "core/preflight/preflight.h"

#include <QDialog>
#include <QList>

#include <chrono>
#include <optional>

class QLabel;
class QPushButton;

// The window of the checks before a mailing (配信前チェック): one row per check with its mark,
// its name and what to publish or change. Modal. Opened from the settings menu it runs the
// checks once it shows; opened from the question at the send button it shows the results that
// question was asked on. Either way 再チェック runs them again.
class frmPreflight : public QDialog
{
    Q_OBJECT
public:
    // All the lookups of one round together: a resolver that does not answer must not hold the
    // operator, or a start, for longer.
    static constexpr std::chrono::milliseconds kCheckLimit{5000};

    // shown: results at hand; nullopt runs the checks as soon as the window shows.
    frmPreflight(const preflight::Inputs& inputs, QWidget* parent = nullptr,
                 std::optional<QList<preflight::CheckResult>> shown = std::nullopt);

    void cmdRecheck_Click();
    void cmdClose_Click();

    // The rows, in the order of the checks.
    QList<QLabel*> marks;
    QList<QLabel*> titles;
    QList<QLabel*> details;
    QLabel* lblDomain = nullptr;
    QLabel* lblStatus = nullptr;
    QPushButton* cmdRecheck = nullptr;
    QPushButton* cmdClose = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildControls();
    void showResults(const QList<preflight::CheckResult>& results);

    preflight::Inputs m_inputs;
    bool m_checkOnShow = false;
    bool m_running = false;
};
