#pragma once

#include "core/journal/journal_report.h"

#include <QWidget>

namespace shell {

// The mails of a run per minute, sent and failed stacked, drawn with QPainter. Qt Charts
// would lay out one bar and one axis category per minute as scene items: a run at a polite
// pace lasts hours or days, thousands of minutes, which it draws slowly and labels unreadably.
// Here every pixel column sums the minutes that fall into it, so a run of any length is drawn
// in one pass over its minutes, and no further library or package is needed.
class DeliveryChart : public QWidget
{
    Q_OBJECT
public:
    explicit DeliveryChart(QWidget* parent = nullptr);

    void setMinutes(const QList<journal::MinuteCount>& minutes);
    const QList<journal::MinuteCount>& minutes() const { return m_minutes; }

    static QColor sentColor() { return QColor(46, 125, 50); }
    static QColor failedColor() { return QColor(198, 40, 40); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<journal::MinuteCount> m_minutes;
};

} // namespace shell
