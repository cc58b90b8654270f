#pragma once

// Scripted message boxes, open-file dialogs and process end for GUI tests.

#include "core/platform/process_end.h"
#include "gui/platform/file_dialogs.h"
#include "gui/platform/message_boxes.h"

#include <deque>
#include <functional>
#include <vector>

namespace testing_support {

struct ShownBox
{
    platform::MessageBoxRequest request;
    QString focusAfter; // objectName of the focus widget right after the box closed; filled
                        // by the test if it cares
};

// Records every box and answers from a queue; an empty queue answers the default button. onShow,
// when set, runs while the box is "open", in place of the modal loop: a test can process events
// there to see what a real modal box would let run.
class ScriptedMessageBoxes : public platform::MessageBoxes
{
public:
    platform::MsgAnswer show(QWidget* parent, const platform::MessageBoxRequest& request) override;

    std::vector<platform::MessageBoxRequest> shown;
    std::deque<platform::MsgAnswer> answers;
    std::function<void(const platform::MessageBoxRequest&)> onShow;
};

class ScriptedFileDialogs : public platform::FileDialogs
{
public:
    std::optional<QString> getOpenFileName(QWidget* parent,
                                           const platform::OpenFileRequest& request) override;
    std::optional<QString> getSaveFileName(QWidget* parent,
                                           const platform::SaveFileRequest& request) override;

    std::vector<platform::OpenFileRequest> requests;
    std::vector<platform::SaveFileRequest> saveRequests;
    // Each entry answers one dialog, open or save: a path, or nullopt for a cancel. An empty queue
    // cancels.
    std::deque<std::optional<QString>> answers;

private:
    std::optional<QString> nextAnswer();
};

class RecordingProcessEnd : public platform::ProcessEnd
{
public:
    void endProcess() override { ++calls; }
    int calls = 0;
};

// Installs all three for the lifetime of the object.
class ScopedGuiFakes
{
public:
    ScopedGuiFakes();
    ~ScopedGuiFakes();

    ScriptedMessageBoxes& boxes() { return *m_boxes; }
    ScriptedFileDialogs& dialogs() { return *m_dialogs; }
    RecordingProcessEnd& processEnd() { return *m_end; }

private:
    ScriptedMessageBoxes* m_boxes;
    ScriptedFileDialogs* m_dialogs;
    RecordingProcessEnd* m_end;
    std::unique_ptr<platform::MessageBoxes> m_prevBoxes;
    std::unique_ptr<platform::FileDialogs> m_prevDialogs;
    std::unique_ptr<platform::ProcessEnd> m_prevEnd;
};

} // namespace testing_support
