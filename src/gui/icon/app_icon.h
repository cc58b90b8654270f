#pragma once

#include <QIcon>

namespace shell {

// The program's own icon, drawn in kezmailer.svg beside this file; the build renders it to
// PNG at the sizes of kIconSizes, so no SVG support is needed at run time.
QIcon applicationIcon();

inline constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

} // namespace shell
