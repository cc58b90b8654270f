// PLACEHOLDER: to be written by the settings-dialog work.
#include "settings_dialog/frm_op_set1.h"

frmOpSet1::frmOpSet1(const QString& appDir, QWidget* parent) : QDialog(parent), m_appDir(appDir) {}
