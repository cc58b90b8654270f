#include "gui/platform/message_boxes.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>

namespace platform {
namespace {

// What a title bar spends besides the caption: the window manager's icon, its three buttons
// and the padding around them, as the common themes draw them.
constexpr int kTitleBarExtras = 150;

// QMessageBox sizes itself to its text and allows the caption only the box's own font plus a
// little, so a short question in a box captioned "KEZ-MAILER" had the window manager cut the
// caption to "KEZ…LER". It sets a fixed size from its layout's needs on showing; a strut in
// the layout is the width it then keeps.
void fitCaption(QMessageBox& box)
{
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid)
        return;
    const QFontMetrics title(QFontDatabase::systemFont(QFontDatabase::TitleFont));
    const int margins = grid->contentsMargins().left() + grid->contentsMargins().right();
    const int width = title.horizontalAdvance(box.windowTitle()) + kTitleBarExtras - margins;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

class QtMessageBoxes final : public MessageBoxes
{
public:
    MsgAnswer show(QWidget* parent, const MessageBoxRequest& request) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(request.caption.value_or(QString::fromLatin1(kAppTitle)));
        // The program separates lines with a lone CR (the error notice: address, CR, reason);
        // Qt's labels only break at LF, so show such a CR as a line break.
        QString text = request.text;
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        box.setText(text);
        switch (request.icon) {
        case MsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
        case MsgIcon::Critical: box.setIcon(QMessageBox::Critical); break;
        case MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
        case MsgIcon::Exclamation: box.setIcon(QMessageBox::Warning); break;
        case MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
        }
        const bool yesNo = request.buttons != MsgButtons::Ok;
        if (yesNo) {
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(request.buttons == MsgButtons::YesNoDefaultNo ? QMessageBox::No
                                                                               : QMessageBox::Yes);
        } else {
            box.setStandardButtons(QMessageBox::Ok);
        }
        // Any button closes a QMessageBox; the details button's window is shown once the box
        // is down, and the question comes back afterwards, as unanswered as before. The click
        // is noted here: the box keeps its last clicked button across a second exec(), so a
        // later close by the title bar would read as that button again.
        bool detailsAsked = false;
        if (request.showDetails) {
            QPushButton* details = box.addButton(request.detailsLabel, QMessageBox::ActionRole);
            QObject::connect(details, &QPushButton::clicked, &box,
                             [&detailsAsked] { detailsAsked = true; });
        }
        fitCaption(box);
        int result = box.exec();
        while (detailsAsked) {
            detailsAsked = false;
            request.showDetails(parent);
            result = box.exec();
        }
        if (yesNo)
            return result == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
        return MsgAnswer::Ok;
    }
};

std::unique_ptr<MessageBoxes>& slot()
{
    static std::unique_ptr<MessageBoxes> current = std::make_unique<QtMessageBoxes>();
    return current;
}

} // namespace

MessageBoxes& messageBoxes()
{
    return *slot();
}

std::unique_ptr<MessageBoxes> setMessageBoxes(std::unique_ptr<MessageBoxes> boxes)
{
    if (!boxes)
        boxes = std::make_unique<QtMessageBoxes>();
    return std::exchange(slot(), std::move(boxes));
}

MsgAnswer msgBox(QWidget* parent, const QString& text, MsgIcon icon, MsgButtons buttons,
                 std::optional<QString> caption)
{
    MessageBoxRequest request;
    request.text = text;
    request.caption = std::move(caption);
    request.icon = icon;
    request.buttons = buttons;
    return messageBoxes().show(parent, request);
}

} // namespace platform
