#include "gui/widgets/center_form.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace aMain_sMail {

void CenterForm(QWidget* form)
{
    QScreen* screen = form->screen() ? form->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    // The outer size includes the frame once the window has one; before it is shown, the
    // frame is not known yet and the client size stands in for it.
    const QSize outer = form->frameGeometry().size().expandedTo(form->size());
    const double left = (area.width() - outer.width()) / 2.0;
    const double top = (area.height() - outer.height()) / 2.0;
    form->move(area.x() + qRound(left), area.y() + qRound(top));
}

} // namespace aMain_sMail
