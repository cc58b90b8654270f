#pragma once

#include "core/bulk/bulk_settings.h"

#include <QDialog>

class PaceRulesEditor;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;

// The delivery options dialog (配信オプション): unsubscribe headers, bulk headers, the
// suppression list and DKIM signing on its first tab, the intake of bounces and unsubscribe
// requests on the next, the pace per destination domain on the third, the footer advertising mail
// must carry on the fourth, saved to ini/bulk.ini. Modal;
// created anew for every opening, so it always starts from the file.
class frmBulkSet : public QDialog
{
    Q_OBJECT
public:
    explicit frmBulkSet(const QString& appDir, QWidget* parent = nullptr);

    void OkCommand_Click();
    void CancelCommand_Click();
    void chkSuppress_Click();
    void chkDkim_Click();
    void cmdSuppressPath_Click();
    void cmdDkimKey_Click();
    void cmdCopyDns_Click();
    void optIntake_Click();
    void cmdFooterTemplate_Click();

    // The intake tab (frm_bulk_set_intake.cpp): which account it reads, and whether it runs.
    void SetIntakeEnabled();
    void ShowIntakeState();

    void SetSuppressEnabled();
    void SetDkimEnabled();
    // Shows the TXT record for the domain, selector and key as they stand, or why there is
    // none yet.
    void ShowDnsRecord();

    // Controls, named as their objectName().
    QTabWidget* tabOptions = nullptr;
    QWidget* pagBasic = nullptr;
    QWidget* pagIntake = nullptr;
    QWidget* pagPace = nullptr;
    QWidget* pagFooter = nullptr;

    QGroupBox* Frame1 = nullptr;
    QLabel* lblUnsubMailto = nullptr;
    QLineEdit* txtUnsubMailto = nullptr;
    QLabel* lblUnsubUrl = nullptr;
    QLineEdit* txtUnsubUrl = nullptr;
    QLabel* lblUnsubNote = nullptr;

    QGroupBox* Frame2 = nullptr;
    QCheckBox* chkPrecedence = nullptr;
    QCheckBox* chkAutoSubmitted = nullptr;

    QGroupBox* Frame3 = nullptr;
    QCheckBox* chkSuppress = nullptr;
    QLabel* lblSuppressPath = nullptr;
    QPushButton* cmdSuppressPath = nullptr;
    QLineEdit* txtSuppressPath = nullptr;
    QCheckBox* chkOncePerRun = nullptr;

    QGroupBox* Frame4 = nullptr;
    QCheckBox* chkDkim = nullptr;
    QLabel* lblDkimDomain = nullptr;
    QLineEdit* txtDkimDomain = nullptr;
    QLabel* lblDkimSelector = nullptr;
    QLineEdit* txtDkimSelector = nullptr;
    QLabel* lblDkimKey = nullptr;
    QPushButton* cmdDkimKey = nullptr;
    QLineEdit* txtDkimKey = nullptr;
    QLabel* lblDnsName = nullptr;
    QLineEdit* txtDnsName = nullptr;
    QLineEdit* txtDnsValue = nullptr;
    QPushButton* cmdCopyDns = nullptr;
    QLabel* lblDkimStatus = nullptr;

    QGroupBox* Frame5 = nullptr;
    QRadioButton* optIntakeSettings = nullptr;
    QRadioButton* optIntakeOwn = nullptr;
    QLabel* lblIntakeServer = nullptr;
    QLineEdit* txtIntakeServer = nullptr;
    QLabel* lblIntakeUser = nullptr;
    QLineEdit* txtIntakeUser = nullptr;
    QLabel* lblIntakePass = nullptr;
    QLineEdit* txtIntakePass = nullptr;
    QCheckBox* chkIntakeDelete = nullptr;
    QLabel* lblSoftLimit = nullptr;
    QSpinBox* spnSoftLimit = nullptr;
    QLabel* lblIntakeNote = nullptr;
    QLabel* lblIntakeState = nullptr;

    QGroupBox* Frame6 = nullptr;
    PaceRulesEditor* ctlPaceRules = nullptr;

    QGroupBox* Frame7 = nullptr;
    QLabel* lblFooter = nullptr;
    QPlainTextEdit* txtFooter = nullptr;
    QLabel* lblFooterNote = nullptr;
    QPushButton* cmdFooterTemplate = nullptr;

    QLabel* lblFileState = nullptr;
    QPushButton* CancelCommand = nullptr;
    QPushButton* OkCommand = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildControls();
    void buildIntakePage();
    void buildPacePage();
    // The footer tab (frm_bulk_set_footer.cpp).
    void buildFooterPage();
    // The footer's box into s; false when it is refused (said, focus moved).
    bool takeFooter(bulk::BulkSettings& s);
    void loadIntake(const bulk::BulkSettings& s);
    // The intake's boxes into s; false when one is refused (said, focus moved).
    bool takeIntake(bulk::BulkSettings& s);
    void Form_Load();

    QString m_appDir;
    // The file's problem, shown once the dialog is on screen; empty when there is none.
    QString m_loadProblem;
    bulk::BulkSettings m_keptSettings; // as loaded; the boxes' values go over it at save
    bool m_problemShown = false;
    // The file exists but could not be read whole: a save asks before it overwrites it.
    bool m_damaged = false;
};
