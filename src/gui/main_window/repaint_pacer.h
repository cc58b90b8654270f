#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>

class QWidget;

namespace shell {

// Keeps a window from repainting more often than a screen can show. A delivery at a short
// interval changes the counter labels on every mail and yields once per mail; painting each of
// those states cost more than the rest of the window's share of the mail. Updates that come
// sooner than the minimum gap after the last paint are merged into one paint at the end of the
// gap, so the last state is always shown, at most one gap late.
class RepaintPacer final : public QObject
{
    Q_OBJECT
public:
    // nowMs is a monotonic millisecond clock; tests pass their own.
    RepaintPacer(QWidget* window, int minGapMs, std::function<qint64()> nowMs = {});

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void paintDeferred();

    QWidget* m_window;
    int m_minGapMs;
    std::function<qint64()> m_nowMs;
    QElapsedTimer m_steady;
    std::optional<qint64> m_lastPaintMs;
    bool m_deferredDue = false;
    QTimer m_deferred;
};

} // namespace shell
