#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

// The version dialog: product title, version, the maker and a link to the information page.
class frmVer : public QDialog
{
    Q_OBJECT
public:
    explicit frmVer(QWidget* parent = nullptr);

    // Starts the browser on the URL the label shows at the moment of the click.
    void lblKezMailUrl_Click();
    void cmdEnd_Click();

    QLabel* picIcon = nullptr;
    QLabel* lblTitleShadow = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblVerShadow = nullptr;
    QLabel* lblVer = nullptr;
    QLabel* lblSince = nullptr;
    QLabel* lblMaker1 = nullptr;
    QLabel* lblMaker2 = nullptr;
    QLabel* lblMsg = nullptr;
    QLabel* lblUrl = nullptr;
    QLabel* lblKezMailUrl = nullptr;
    QFrame* Line1 = nullptr;
    QPushButton* cmdEnd = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
};
