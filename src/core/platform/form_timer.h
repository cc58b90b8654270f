#pragma once

#include <QObject>
#include <QTimer>

namespace platform {

// A window timer as the program's handlers think of it: an Enabled switch and an Interval in
// milliseconds, where an interval of 0 means "never ticks" (a bare QTimer with interval 0
// would fire on every pass of the event loop instead). Setting the interval or enabling the
// timer restarts the countdown. Intervals beyond what QTimer takes saturate instead of
// wrapping around.
class FormTimer : public QObject
{
    Q_OBJECT
public:
    explicit FormTimer(QObject* parent = nullptr);

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);

    qint64 interval() const { return m_interval; }
    void setInterval(qint64 milliseconds);

signals:
    void timeout();

private:
    void apply();

    QTimer m_timer;
    bool m_enabled = false;
    qint64 m_interval = 0;
};

} // namespace platform
