#pragma once

#include <QFileDevice>
#include <QString>

// The reasons the system gives for a failure (a full disk, a missing file, a refused
// connection), in Japanese wherever the C library's or Qt's translations have them.
namespace platform {

// Asks the C library for its Japanese messages, which the process otherwise gets only under a
// Japanese locale: "ja" first in LANGUAGE, and a C locale's messages switched to C.UTF-8,
// under which the C library honours LANGUAGE. Call once at start-up, after the application
// object set the locale and before other threads start.
void useJapaneseSystemMessages();

// The system's reason for errno value errnum.
QString systemErrorText(int errnum);

// file.errorString(), translated where Qt left its own text in English.
QString fileErrorText(const QFileDevice& file);

} // namespace platform
