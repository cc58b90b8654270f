#pragma once

#include <QRect>
#include <QWidget>

namespace shell {

// Layouts were drawn in twips: 15 twips to a pixel at 96 dpi, scaled with the screen's
// logical dpi so that the window keeps its proportions on larger settings.
inline int twipsToPixels(const QWidget* widget, int twips)
{
    const double dpi = widget ? widget->logicalDpiX() : 96.0;
    return qRound(twips * dpi / 1440.0);
}

inline void placeTwips(QWidget* widget, int left, int top, int width, int height)
{
    widget->setGeometry(twipsToPixels(widget, left), twipsToPixels(widget, top),
                        twipsToPixels(widget, width), twipsToPixels(widget, height));
}

} // namespace shell
