#pragma once

#include <QDialog>

// PLACEHOLDER: to be written by the settings-dialog work.
class frmOpSet1 : public QDialog
{
    Q_OBJECT
public:
    explicit frmOpSet1(const QString& appDir, QWidget* parent = nullptr);

private:
    QString m_appDir;
};
