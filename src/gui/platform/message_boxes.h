#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace platform {

// The caption the platform shows on a box that was given none.
inline constexpr const char* kAppTitle = "kezmailer_d100";

enum class MsgIcon { None, Critical, Question, Exclamation, Information };
enum class MsgButtons {
    Ok,
    YesNo,          // Yes is the default button
    YesNoDefaultNo, // for a question whose Yes loses something: Enter answers No
};
enum class MsgAnswer { Ok, Yes, No };

struct MessageBoxRequest
{
    QString text;
    // nullopt: the box is given no caption, so the platform shows kAppTitle.
    std::optional<QString> caption;
    MsgIcon icon = MsgIcon::None;
    MsgButtons buttons = MsgButtons::Ok;
    // A further button (detailsLabel) that shows what the question rests on, in a window of
    // its own over parent, and then asks again; none when showDetails is empty. It never
    // answers the question, so a test reaches it through the recorded request.
    QString detailsLabel;
    std::function<void(QWidget* parent)> showDetails;
};

// Modal message boxes. Tests install a scripted implementation that records every box and
// answers from a script.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    virtual MsgAnswer show(QWidget* parent, const MessageBoxRequest& request) = 0;
};

MessageBoxes& messageBoxes();
std::unique_ptr<MessageBoxes> setMessageBoxes(std::unique_ptr<MessageBoxes> boxes);

// Shorthand for the common call.
MsgAnswer msgBox(QWidget* parent, const QString& text, MsgIcon icon,
                 MsgButtons buttons = MsgButtons::Ok,
                 std::optional<QString> caption = QStringLiteral("KEZ-MAILER"));

} // namespace platform
