#include "gui_fakes.h"

namespace testing_support {

platform::MsgAnswer ScriptedMessageBoxes::show(QWidget*, const platform::MessageBoxRequest& request)
{
    shown.push_back(request);
    if (onShow)
        onShow(request);
    // Unscripted, a box answers as Enter would: its default button.
    if (answers.empty()) {
        switch (request.buttons) {
        case platform::MsgButtons::Ok: return platform::MsgAnswer::Ok;
        case platform::MsgButtons::YesNo: return platform::MsgAnswer::Yes;
        case platform::MsgButtons::YesNoDefaultNo: return platform::MsgAnswer::No;
        }
        return platform::MsgAnswer::Ok;
    }
    const platform::MsgAnswer answer = answers.front();
    answers.pop_front();
    return answer;
}

std::optional<QString> ScriptedFileDialogs::nextAnswer()
{
    if (answers.empty())
        return std::nullopt;
    // Read through value_or: GCC takes a copied optional<QString> for unset.
    const QString path = answers.front().value_or(QString());
    const bool cancelled = !answers.front().has_value();
    answers.pop_front();
    if (cancelled)
        return std::nullopt;
    return path;
}

std::optional<QString>
ScriptedFileDialogs::getOpenFileName(QWidget*, const platform::OpenFileRequest& request)
{
    requests.push_back(request);
    return nextAnswer();
}

std::optional<QString>
ScriptedFileDialogs::getSaveFileName(QWidget*, const platform::SaveFileRequest& request)
{
    saveRequests.push_back(request);
    return nextAnswer();
}

ScopedGuiFakes::ScopedGuiFakes()
{
    auto boxes = std::make_unique<ScriptedMessageBoxes>();
    m_boxes = boxes.get();
    m_prevBoxes = platform::setMessageBoxes(std::move(boxes));
    auto dialogs = std::make_unique<ScriptedFileDialogs>();
    m_dialogs = dialogs.get();
    m_prevDialogs = platform::setFileDialogs(std::move(dialogs));
    auto end = std::make_unique<RecordingProcessEnd>();
    m_end = end.get();
    m_prevEnd = platform::setProcessEnd(std::move(end));
}

ScopedGuiFakes::~ScopedGuiFakes()
{
    platform::setMessageBoxes(std::move(m_prevBoxes));
    platform::setFileDialogs(std::move(m_prevDialogs));
    platform::setProcessEnd(std::move(m_prevEnd));
}

} // namespace testing_support
