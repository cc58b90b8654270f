#include "gui/main_window/repaint_pacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

namespace shell {

RepaintPacer::RepaintPacer(QWidget* window, int minGapMs, std::function<qint64()> nowMs)
    : QObject(window), m_window(window), m_minGapMs(minGapMs), m_nowMs(std::move(nowMs))
{
    if (!m_nowMs) {
        m_steady.start();
        m_nowMs = [this] { return m_steady.elapsed(); };
    }
    m_deferred.setSingleShot(true);
    connect(&m_deferred, &QTimer::timeout, this, &RepaintPacer::paintDeferred);
    window->installEventFilter(this);
}

bool RepaintPacer::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_window || event->type() != QEvent::UpdateRequest)
        return false;
    const qint64 now = m_nowMs();
    const qint64 since = m_lastPaintMs ? now - *m_lastPaintMs : m_minGapMs;
    if (m_deferredDue || since >= m_minGapMs || since < 0) {
        m_deferredDue = false;
        m_deferred.stop();
        m_lastPaintMs = now;
        return false;
    }
    // Swallowed: the window's dirty regions stay marked, and the deferred request below paints
    // all of them at once.
    if (!m_deferred.isActive())
        m_deferred.start(int(m_minGapMs - since));
    return true;
}

void RepaintPacer::paintDeferred()
{
    // Let this request through whatever the clock says, so that a paint is never put off twice.
    m_deferredDue = true;
    QCoreApplication::postEvent(m_window, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}

} // namespace shell
