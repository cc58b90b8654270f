#pragma once

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The settings dialog: edits the settings record and saves the settings file. Modal; created
// anew for every opening, so it always starts from the record.
class frmOpSet1 : public QDialog
{
    Q_OBJECT
public:
    explicit frmOpSet1(const QString& appDir, QWidget* parent = nullptr);

    void OkCommand_Click();
    void CancelCommand_Click();
    void chkSendLog_Click();
    void chkErrLog_Click();
    void cmdSendLog_Click();
    void cmdErrLog_Click();
    void cmdEdit_Click();

    void SetSendLogEnabled();
    void SetErrLogEnabled();

    // Controls, named as their objectName().
    QGroupBox* Frame1 = nullptr;
    QLabel* lblSmtp = nullptr;
    QLineEdit* txtSmtp = nullptr;
    QLabel* lblPop3 = nullptr;
    QLineEdit* txtPop3 = nullptr;
    QLabel* lblMail = nullptr;
    QLineEdit* txtMail = nullptr;
    QLabel* lblUserID = nullptr;
    QLineEdit* txtUserID = nullptr;
    QLabel* lblPassWord = nullptr;
    QLineEdit* txtPassWord = nullptr;
    QCheckBox* ApopCheck = nullptr;

    QGroupBox* Frame3 = nullptr;
    QLabel* lblSendSpan = nullptr;
    QLineEdit* txtSendSpan = nullptr;
    QLabel* lblSendSpanUnit = nullptr;
    QLabel* lblPop3Time = nullptr;
    QLineEdit* txtPop3Time = nullptr;
    QLabel* lblPop3TimeUnit = nullptr;
    QLabel* lblPop3TimeNote = nullptr;

    QGroupBox* Frame2 = nullptr;
    QCheckBox* chkSendLog = nullptr;
    QPushButton* cmdSendLog = nullptr;
    QLabel* lblSendLog = nullptr;
    QLineEdit* txtSendLog = nullptr;
    QCheckBox* chkErrLog = nullptr;
    QCheckBox* chkErrLogMsg = nullptr;
    QPushButton* cmdErrLog = nullptr;
    QLabel* lblErrLog = nullptr;
    QLineEdit* txtErrLog = nullptr;

    QGroupBox* Frame4 = nullptr;
    QPushButton* cmdEdit = nullptr;
    QLineEdit* txtEditPath = nullptr;

    QPushButton* CancelCommand = nullptr;
    QPushButton* OkCommand = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildControls();
    void Form_Load();
    // Fills target with the chosen path; asCommand quotes a path with a blank in it, so that
    // the editor start reads it back as one program.
    void browse(QLineEdit* target, const QString& initialDir, const QString& filter,
                bool asCommand = false);

    QString m_appDir;
    // The switch values as read from the record, and the box states they were shown as: a
    // box the operator leaves as it was keeps a value other than 0 and 1.
    qint16 m_loadedApop = 0;
    qint16 m_loadedSendLog = 0;
    qint16 m_loadedErrLog = 0;
    qint16 m_loadedErrLogMsg = 0;
    int m_shownApop = 0;
    int m_shownSendLog = 0;
    int m_shownErrLog = 0;
    int m_shownErrLogMsg = 0;
};
