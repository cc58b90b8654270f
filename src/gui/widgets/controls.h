#pragma once

#include <QString>

#include <initializer_list>

class QCheckBox;
class QColor;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// Control factories shared by the windows: each control gets its name as objectName(), so
// that handlers, tests and the layout tables all speak of the same "txtSmtp" or "cmdCSV".
namespace shell {

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text);
QLineEdit* makeEdit(QWidget* parent, const char* name);
// Buttons never act as the default button: Enter in a box must not press one.
QPushButton* makeButton(QWidget* parent, const char* name, const QString& text);
QCheckBox* makeCheck(QWidget* parent, const char* name, const QString& text);
QGroupBox* makeFrame(QWidget* parent, const char* name, const QString& title);

// Boxes for server names, addresses and numbers take no input-method composition.
void imeOff(QWidget* widget);
void setBackground(QWidget* widget, const QColor& color);
void setForeground(QWidget* widget, const QColor& color);

// Chains the focus order through the widgets in the given order.
void setTabChain(std::initializer_list<QWidget*> widgets);

} // namespace shell
