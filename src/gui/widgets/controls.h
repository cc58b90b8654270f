#pragma once

#include <QPushButton>
#include <QString>
#include <QValidator>

#include <initializer_list>
#include <utility>

class QCheckBox;
class QColor;
class QGroupBox;
class QLabel;
class QLineEdit;
class QWidget;

// Control factories shared by the windows: each control gets its name as objectName(), so
// that handlers, tests and the layout tables all speak of the same "txtSmtp" or "cmdCSV".
namespace shell {

// Keeps a single-line box on one line. Whatever brings text in (typing, a paste by keys,
// menu or middle button, a drop, an input method, insert()) has it cut at its first line
// break, as a Windows single-line box does: "ab⏎cd" pasted into "XY|Z" gives "XYabZ". A
// hidden password box would otherwise keep a pasted line break unseen, and the settings
// file would gain a line.
class SingleLineFilter : public QValidator
{
    Q_OBJECT
public:
    explicit SingleLineFilter(QObject* parent);
    State validate(QString& input, int& pos) const override;
};

// Lets only the digits 0 to 9 into a box, typed or pasted, up to maxDigits of them; deleting
// is always possible. The length is held here rather than by the box's own maximum length,
// which would cut a longer value from a hand-edited file as soon as it is shown.
//
// A box may show a value the filter refuses (99999 or -1 from the file, see setDigitText).
// It keeps it, and every edit of it may only put digits in and may not lengthen a value that
// is already too long, so no letter or sign gets in.
class DigitFilter : public SingleLineFilter
{
    Q_OBJECT
public:
    DigitFilter(int maxDigits, QLineEdit* box);
    State validate(QString& input, int& pos) const override;

private:
    int m_maxDigits;
    QString m_shown; // the box's text before the edit being validated
};

// A button that Enter presses while it has the focus, as Space does. No button is ever a
// default button, so Enter in a text box still presses nothing.
class CommandButton : public QPushButton
{
    Q_OBJECT
public:
    CommandButton(const QString& text, QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text);
// A single-line box (SingleLineFilter). A box given another validator loses the cut: use
// makeDigitEdit for digits.
QLineEdit* makeEdit(QWidget* parent, const char* name);
// A right-aligned single-line box for digits only (DigitFilter), without input-method
// composition.
QLineEdit* makeDigitEdit(QWidget* parent, const char* name, int maxDigits);
// Shows a value that did not come through the box, such as the record's number, whole even
// when the box's filter would refuse it; edits from then on are filtered against it.
void setDigitText(QLineEdit* box, const QString& text);
// A CommandButton.
QPushButton* makeButton(QWidget* parent, const char* name, const QString& text);
QCheckBox* makeCheck(QWidget* parent, const char* name, const QString& text);
QGroupBox* makeFrame(QWidget* parent, const char* name, const QString& title);

// Boxes for server names, addresses and numbers take no input-method composition.
void imeOff(QWidget* widget);
void setBackground(QWidget* widget, const QColor& color);
void setForeground(QWidget* widget, const QColor& color);

// Holds a window with a layout at the size the layout gives it: it cannot be resized, has no
// maximise button, and a maximise asked for anyway (the window menu, a double click on the
// title bar) is undone.
void fixWindowSize(QWidget* window);

// Chains the focus order through the widgets in the given order.
void setTabChain(std::initializer_list<QWidget*> widgets);

// For a dialog's keyPressEvent: the dialog has no default button, so Enter in one of its boxes
// is taken and presses nothing (a focused button takes Enter itself). True when it was taken.
bool takeEnterInBox(QKeyEvent* event);

// After a save refused a value: the focus goes to the box of the refused key (as the file
// names it), when that box can take it.
void focusBoxOfKey(const QString& key,
                   std::initializer_list<std::pair<const char*, QLineEdit*>> boxes);

} // namespace shell
