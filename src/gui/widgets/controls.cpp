#include "gui/widgets/controls.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPalette>

#include <algorithm>

namespace shell {
namespace {

// The characters Unicode makes a line end at: LF, VT, FF, CR, NEL and the line and paragraph
// separators (what a rich-text clipboard gives for a paragraph end).
bool isLineBreak(QChar c)
{
    switch (c.unicode()) {
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0085:
    case 0x2028:
    case 0x2029: return true;
    default: return false;
    }
}

bool isDigits(QStringView text)
{
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

constexpr Qt::WindowStates kLargerStates = Qt::WindowMaximized | Qt::WindowFullScreen;

class MaximiseUndo final : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* window = qobject_cast<QWidget*>(watched);
        if (window && event->type() == QEvent::WindowStateChange &&
            (window->windowState() & kLargerStates)) {
            // Not from inside the window system's own notification.
            QMetaObject::invokeMethod(
                window,
                [window] { window->setWindowState(window->windowState() & ~kLargerStates); },
                Qt::QueuedConnection);
        }
        return false;
    }
};

QLineEdit* namedEdit(QWidget* parent, const char* name)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

} // namespace

SingleLineFilter::SingleLineFilter(QObject* parent) : QValidator(parent) {}

QValidator::State SingleLineFilter::validate(QString& input, int& pos) const
{
    const auto first = std::find_if(input.cbegin(), input.cend(), isLineBreak);
    if (first == input.cend())
        return Acceptable;
    // The box held no line break before this edit, so every break came with the inserted
    // text, which ends at the cursor: drop from the first break to there.
    const auto last = std::find_if(input.crbegin(), input.crend(), isLineBreak);
    const qsizetype from = first - input.cbegin();
    const qsizetype to = std::max<qsizetype>(pos, input.crend() - last);
    input.remove(from, to - from);
    pos = int(from);
    return Acceptable;
}

DigitFilter::DigitFilter(int maxDigits, QLineEdit* box)
    : SingleLineFilter(box), m_maxDigits(maxDigits), m_shown(box->text())
{
    connect(box, &QLineEdit::textChanged, this, [this](const QString& text) { m_shown = text; });
}

QValidator::State DigitFilter::validate(QString& input, int& pos) const
{
    SingleLineFilter::validate(input, pos);
    if (input.size() <= m_maxDigits && isDigits(input))
        return Acceptable;
    // Whatever the edit was, it replaced one stretch of the text before it: find that
    // stretch by the common start and end, and let in only digits there.
    const QString& before = m_shown;
    qsizetype head = 0;
    while (head < before.size() && head < input.size() && before[head] == input[head])
        ++head;
    qsizetype tail = 0;
    while (tail < before.size() - head && tail < input.size() - head &&
           before[before.size() - 1 - tail] == input[input.size() - 1 - tail])
        ++tail;
    if (!isDigits(QStringView(input).mid(head, input.size() - head - tail)))
        return Invalid;
    if (input.size() > m_maxDigits && input.size() > before.size())
        return Invalid;
    // Not a value the box would take, but one it was given: keep it editable.
    return Intermediate;
}

CommandButton::CommandButton(const QString& text, QWidget* parent) : QPushButton(text, parent)
{
    setAutoDefault(false);
    setDefault(false);
}

void CommandButton::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        event->accept();
        // Holding the key down presses once.
        if (!event->isAutoRepeat())
            click();
        return;
    }
    QPushButton::keyPressEvent(event);
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

QLineEdit* makeEdit(QWidget* parent, const char* name)
{
    QLineEdit* edit = namedEdit(parent, name);
    edit->setValidator(new SingleLineFilter(edit));
    return edit;
}

QLineEdit* makeDigitEdit(QWidget* parent, const char* name, int maxDigits)
{
    QLineEdit* edit = namedEdit(parent, name);
    edit->setValidator(new DigitFilter(maxDigits, edit));
    edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    imeOff(edit);
    edit->setInputMethodHints(edit->inputMethodHints() | Qt::ImhDigitsOnly);
    return edit;
}

void setDigitText(QLineEdit* box, const QString& text)
{
    // Without its filter for this one change, the box counts the value as valid input, so
    // that the next edit the filter refuses is undone rather than kept.
    const QValidator* filter = box->validator();
    box->setValidator(nullptr);
    box->setText(text);
    box->setValidator(filter);
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& text)
{
    auto* button = new CommandButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

QCheckBox* makeCheck(QWidget* parent, const char* name, const QString& text)
{
    auto* check = new QCheckBox(text, parent);
    check->setObjectName(QString::fromLatin1(name));
    return check;
}

QGroupBox* makeFrame(QWidget* parent, const char* name, const QString& title)
{
    auto* frame = new QGroupBox(title, parent);
    frame->setObjectName(QString::fromLatin1(name));
    return frame;
}

void imeOff(QWidget* widget)
{
    widget->setAttribute(Qt::WA_InputMethodEnabled, false);
    widget->setInputMethodHints(widget->inputMethodHints() | Qt::ImhPreferLatin |
                                Qt::ImhNoPredictiveText);
}

void setBackground(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, color);
    palette.setColor(QPalette::Base, color);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

void setForeground(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

void fixWindowSize(QWidget* window)
{
    window->layout()->setSizeConstraint(QLayout::SetFixedSize);
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint);
    window->installEventFilter(new MaximiseUndo(window));
}

void setTabChain(std::initializer_list<QWidget*> widgets)
{
    QWidget* previous = nullptr;
    for (QWidget* widget : widgets) {
        if (previous)
            QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
}

bool takeEnterInBox(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    event->accept();
    return true;
}

void focusBoxOfKey(const QString& key,
                   std::initializer_list<std::pair<const char*, QLineEdit*>> boxes)
{
    for (const auto& [name, box] : boxes) {
        if (key == QLatin1String(name) && box->isEnabled())
            box->setFocus();
    }
}

} // namespace shell
