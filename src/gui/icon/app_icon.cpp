#include "gui/icon/app_icon.h"

namespace shell {

QIcon applicationIcon()
{
    QIcon icon;
    for (int size : kIconSizes)
        icon.addFile(QStringLiteral(":/icons/kezmailer-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace shell
