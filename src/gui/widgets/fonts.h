#pragma once

#include <QFont>

namespace shell {

// The Japanese fixed-pitch face where it is installed, else a CJK monospace fallback.
QFont gothicFont(double pointSize);
// The proportional Japanese face of the dialogs, with the same kind of fallback.
QFont pGothicFont(double pointSize);

} // namespace shell
