#pragma once

#include <QString>

#include <functional>

// The product's two web pages and how the browser is started on them.
namespace info {

// The product's web site; both pages live on it.
inline constexpr const char* kWebHost = "http://www.kez-mail.example";

// The information page, shown in the version dialog.
QString infoPageUrl();
// The members' board.
QString bbsPageUrl();

// Starts the browser on url without waiting for it. On Windows this is the browser at its
// fixed path, as it always was; elsewhere the desktop's default browser through xdg-open
// (open on macOS), with the URL as its single argument. A start that fails returns false with
// the system's reason in *errorText; xdg-open (or open) ending in failure later, having found
// no browser, calls onLateFailure with the reason.
bool openInBrowser(const QString& url, QString* errorText,
                   const std::function<void(const QString& reason)>& onLateFailure);

} // namespace info
