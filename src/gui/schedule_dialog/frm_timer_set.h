#pragma once

#include "core/platform/form_timer.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// The schedule dialog: shows the running clock and takes the date and minute at which a
// delivery is to start by itself. It hands its result back through
// aMain_sMail::ScheduleConfirmed and ScheduledTime and starts nothing itself.
//
// Only its two buttons and the window's close box end it; the close box leaves both values
// as the caller set them.
class frmTimerSet : public QDialog
{
    Q_OBJECT
public:
    // Loads the dialog: centres it, starts the clock and prefills from ScheduledTime.
    explicit frmTimerSet(QWidget* parent = nullptr);
    ~frmTimerSet() override;

    void Timer1_Timer();
    void txtMm_LostFocus();
    void txtDd_LostFocus();
    void txtHh_LostFocus();
    void txtNn_LostFocus();
    void cmdSettei_Click();
    void cmdCancel_Click();

    // Controls.
    QLabel* Label7 = nullptr;
    QLabel* lblYyyy = nullptr;
    QLabel* lblMm = nullptr;
    QLabel* lblDd = nullptr;
    QLabel* lblHh = nullptr;
    QLabel* lblNn = nullptr;
    QLabel* lblSs = nullptr;
    QPushButton* cmdCancel = nullptr;
    QLabel* Label8 = nullptr;
    QLineEdit* txtYyyy = nullptr;
    QLineEdit* txtMm = nullptr;
    QLineEdit* txtDd = nullptr;
    QLineEdit* txtHh = nullptr;
    QLineEdit* txtNn = nullptr;
    QPushButton* cmdSettei = nullptr;
    platform::FormTimer* Timer1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildControls();
    void Form_Load();
};
