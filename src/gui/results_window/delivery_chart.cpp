#include "gui/results_window/delivery_chart.h"

#include <QPainter>

#include <algorithm>
#include <vector>

namespace shell {
namespace {

// A round step for the vertical axis giving about four lines up to top.
qint64 niceStep(qint64 top)
{
    qint64 step = 1;
    while (step * 4 < top) {
        if (step * 2 * 4 >= top)
            return step * 2;
        if (step * 5 * 4 >= top)
            return step * 5;
        step *= 10;
    }
    return step;
}

} // namespace

DeliveryChart::DeliveryChart(QWidget* parent) : QWidget(parent)
{
    setAccessibleName(QStringLiteral("1分ごとの配信数のグラフ"));
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
}

void DeliveryChart::setMinutes(const QList<journal::MinuteCount>& minutes)
{
    m_minutes = minutes;
    update();
}

void DeliveryChart::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QFontMetrics fm = fontMetrics();
    const int line = fm.height();
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRect(6, 2, width() - 12, line), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("1分ごとの配信数"));

    // The legend, right-aligned on the title's line.
    const QString failedText = QStringLiteral("失敗（拒否・一時エラー・結果不明）");
    const QString sentText = QStringLiteral("送信済み");
    int x = width() - 6 - fm.horizontalAdvance(failedText);
    painter.drawText(QPoint(x, 2 + fm.ascent()), failedText);
    painter.fillRect(QRect(x - line, 2 + line / 4, line * 2 / 3, line / 2), failedColor());
    x -= line + 8 + fm.horizontalAdvance(sentText);
    painter.drawText(QPoint(x, 2 + fm.ascent()), sentText);
    painter.fillRect(QRect(x - line, 2 + line / 4, line * 2 / 3, line / 2), sentColor());

    if (m_minutes.isEmpty()) {
        painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("送信の記録がありません"));
        return;
    }

    const qint64 span = m_minutes.constLast().minute + 1;
    // Room for the count labels on the left and the times below.
    const int left = fm.horizontalAdvance(QStringLiteral("000000")) + 6;
    const QRect plot(left, 2 + line + 6, width() - left - 10, height() - 2 * line - 16);
    if (plot.width() < 2 || plot.height() < 2)
        return;

    // Each pixel column holds the minutes that fall into it (one minute may span several
    // columns when the run is short).
    const int columns = int(std::min<qint64>(plot.width(), span));
    std::vector<qint64> sent(columns, 0), failed(columns, 0);
    for (const journal::MinuteCount& m : m_minutes) {
        const auto c = std::size_t(m.minute * columns / span);
        sent[c] += m.sent;
        failed[c] += m.failed;
    }
    qint64 top = 1;
    for (int c = 0; c < columns; ++c)
        top = std::max(top, sent[c] + failed[c]);
    const qint64 step = niceStep(top);
    top = (top + step - 1) / step * step;

    const QColor grid(220, 220, 220);
    for (qint64 v = 0; v <= top; v += step) {
        const int y = plot.bottom() - int(double(v) / double(top) * plot.height());
        painter.setPen(grid);
        painter.drawLine(plot.left(), y, plot.right(), y);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(QRect(0, y - line / 2, left - 4, line), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(v));
    }

    const double columnWidth = double(plot.width()) / columns;
    auto height = [&](qint64 n) { return int(double(n) / double(top) * plot.height() + 0.5); };
    for (int c = 0; c < columns; ++c) {
        const int x0 = plot.left() + int(c * columnWidth);
        const int x1 = plot.left() + int((c + 1) * columnWidth);
        // A gap of one pixel between bars wide enough to show it.
        const int w = std::max(1, x1 - x0 - (columnWidth >= 4 ? 1 : 0));
        const int hs = height(sent[c]);
        const int hf = height(sent[c] + failed[c]) - hs;
        painter.fillRect(QRect(x0, plot.bottom() - hs + 1, w, hs), sentColor());
        painter.fillRect(QRect(x0, plot.bottom() - hs - hf + 1, w, hf), failedColor());
    }

    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawLine(plot.bottomLeft(), plot.bottomRight());
    const QDateTime first = m_minutes.constFirst().start;
    const QDateTime last = first.addSecs(60 * (span - 1));
    const QString format =
        first.date() == last.date() ? QStringLiteral("HH:mm") : QStringLiteral("MM/dd HH:mm");
    const QRect below(plot.left(), plot.bottom() + 3, plot.width(), line);
    painter.drawText(below, Qt::AlignLeft | Qt::AlignVCenter, first.toString(format));
    if (span > 1)
        painter.drawText(below, Qt::AlignRight | Qt::AlignVCenter, last.toString(format));
    painter.drawText(below, Qt::AlignHCenter | Qt::AlignVCenter,
                     QStringLiteral("%1分間").arg(span));
}

} // namespace shell
