#pragma once

// A main window over a fresh application folder, with the GUI fakes installed before it is
// built. Tests take it apart with a structured binding:
//
//   testing_support::AppWindow window(settingsBytes);
//   auto& [fakes, app, form] = window;

#include "fakes.h"
#include "gui_fakes.h"

#include "gui/main_window/write_form.h"

#include <QByteArray>

namespace testing_support {

struct AppWindow
{
    // A non-empty settings is the ini/kezmail.ini the window finds; empty = no file at all.
    explicit AppWindow(const QByteArray& settings = QByteArray())
        : form(withSettings(app, settings))
    {
    }

    ScopedGuiFakes fakes;
    TempAppDir app;
    WriteForm form;

private:
    static QString withSettings(const TempAppDir& folder, const QByteArray& settings)
    {
        if (!settings.isEmpty())
            folder.write(QStringLiteral("ini/kezmail.ini"), settings);
        return folder.path();
    }
};

} // namespace testing_support
