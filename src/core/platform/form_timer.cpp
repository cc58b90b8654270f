#include "core/platform/form_timer.h"

#include <limits>

namespace platform {

FormTimer::FormTimer(QObject* parent) : QObject(parent)
{
    m_timer.setSingleShot(false);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &FormTimer::timeout);
}

void FormTimer::setEnabled(bool enabled)
{
    m_enabled = enabled;
    apply();
}

void FormTimer::setInterval(qint64 milliseconds)
{
    m_interval = milliseconds;
    apply();
}

void FormTimer::apply()
{
    if (!m_enabled || m_interval <= 0) {
        m_timer.stop();
        return;
    }
    const qint64 capped = std::min<qint64>(m_interval, std::numeric_limits<int>::max());
    m_timer.start(static_cast<int>(capped));
}

} // namespace platform
