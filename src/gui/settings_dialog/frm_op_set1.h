#pragma once

#include <QDialog>
#include <QValidator>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace settings_dialog {

// Lets only the digits 0 to 9 into a box, typed or pasted, up to maxDigits of them. Deleting
// is always possible. The length is held here rather than by the box's own maximum length,
// which would cut a longer value from a hand-edited file as soon as it is shown.
class DigitFilter : public QValidator
{
    Q_OBJECT
public:
    DigitFilter(int maxDigits, QObject* parent);
    State validate(QString& input, int& pos) const override;
    int maxDigits() const { return m_maxDigits; }

private:
    int m_maxDigits;
};

} // namespace settings_dialog

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
    void browse(QLineEdit* target, const QString& initialDir, const QString& filter);

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
