#include "gui/platform/message_boxes.h"

#include <QMessageBox>

namespace platform {
namespace {

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
        const int result = box.exec();
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
    return messageBoxes().show(parent, MessageBoxRequest{text, std::move(caption), icon, buttons});
}

} // namespace platform
