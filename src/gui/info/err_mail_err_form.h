#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The error notice of a failed browser start: which handler failed and the system's reason,
// read from the process-wide error report when the window loads.
class ErrMailErr_Form : public QDialog
{
    Q_OBJECT
public:
    explicit ErrMailErr_Form(QWidget* parent = nullptr);

    void cmdEnd_Click();

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QPushButton* cmdEnd = nullptr;

private:
    void Form_Load();
};

namespace info {

// Fills the error report with the failing handler's name, the reason and the URL that was not
// opened (so that the operator can open it by hand), and shows the error notice modally.
void reportBrowserFailure(QWidget* parent, const QString& procName, const QString& reason,
                          const QString& url);

// Starts the browser on url. A start that fails at once, or a browser start that ends in
// failure later, shows the error notice over parent (over the active window when parent has
// gone by then).
void openInBrowserOrReport(QWidget* parent, const QString& procName, const QString& url);

} // namespace info
