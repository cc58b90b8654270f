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

bool openInBrowser(const QString& url, QString* errorText)
{
#if defined(Q_OS_WIN)
    const QString program = QStringLiteral("C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE");
#elif defined(Q_OS_MACOS)
    const QString program = QStringLiteral("open");
#else
    const QString program = QStringLiteral("xdg-open");
#endif
    return platform::launcher().startDetached(program, {url}, errorText);
}

} // namespace info
