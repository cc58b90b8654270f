#pragma once

class QWidget;

namespace aMain_sMail {

// Places a window in the middle of its screen. A window larger than the screen gets a
// negative position.
void CenterForm(QWidget* form);

} // namespace aMain_sMail
