#include "core/platform/system_messages.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>

namespace platform {

void useJapaneseSystemMessages()
{
    const QByteArray language = qgetenv("LANGUAGE");
    if (!language.startsWith("ja"))
        qputenv("LANGUAGE", language.isEmpty() ? QByteArray("ja") : "ja:" + language);
#ifdef LC_MESSAGES
    const char* messages = std::setlocale(LC_MESSAGES, nullptr);
    if (messages && (std::strcmp(messages, "C") == 0 || std::strcmp(messages, "POSIX") == 0))
        std::setlocale(LC_MESSAGES, "C.UTF-8");
#endif
}

namespace {

// Qt hands out a few of the commonest reasons as fixed English texts of its "QIODevice"
// context, which its own translation covers.
QString translated(const QString& text)
{
    // Those texts are plain ASCII; anything else is already the C library's own translation.
    if (std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= 0x80; }))
        return text;
    const QByteArray source = text.toLatin1();
    return QCoreApplication::translate("QIODevice", source.constData());
}

} // namespace

QString systemErrorText(int errnum)
{
    // The one a log on a full disk meets; said the program's way.
    if (errnum == ENOSPC)
        return QStringLiteral("ディスクの空き容量が不足しています");
    return translated(qt_error_string(errnum));
}

QString fileErrorText(const QFileDevice& file)
{
    return translated(file.errorString());
}

} // namespace platform
