#include "core/info/web_links.h"

#include "core/platform/process_launcher.h"

#include <QStringList>

namespace info {

QString infoPageUrl()
{
    return QLatin1String(kWebHost) + QStringLiteral("/~kez-mail/kezmailer/index.html");
}

QString bbsPageUrl()
{
    return QLatin1String(kWebHost) + QStringLiteral("/~kez-mail/kezmailergate/kezmailergate.cgi");
}

bool openInBrowser(const QString& url, QString* errorText,
                   const std::function<void(const QString& reason)>& onLateFailure)
{
#if defined(Q_OS_WIN)
    // The browser itself, whose exit status says nothing about the page.
    Q_UNUSED(onLateFailure);
    return platform::launcher().startDetached(
        QStringLiteral("C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE"), {url}, errorText);
#else
#if defined(Q_OS_MACOS)
    const QString program = QStringLiteral("open");
#else
    const QString program = QStringLiteral("xdg-open");
#endif
    return platform::launcher().startWatched(program, {url}, onLateFailure, errorText);
#endif
}

} // namespace info
