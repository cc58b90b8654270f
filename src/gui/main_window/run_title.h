#pragma once

#include "core/delivery/progress_text.h"

#include <QString>

#include <optional>

class QWidget;

namespace shell {

// How far a run is, where a minimised window still shows it: the window's caption gets the
// count, the total and the time left ("ＫＥＺ－ＭＡＩＬＥＲ　a1.00　123/10000　残り約49分"),
// and the desktop's launcher entry the same fraction. The caption is exactly the window's own
// again whenever no run is active.
class RunTitle
{
public:
    explicit RunTitle(QWidget* window) : m_window(window) {}

    // A run starts on the list of bare addresses at listPath: counts its recipients and shows
    // 0 of them.
    void start(const QString& listPath, qint64 intervalMs);
    // A run starts on total recipients known to the caller (the data rows of a list with
    // columns, which the journal has just read) and shows 0 of them.
    void start(qint64 total, qint64 intervalMs);
    // The count of mails sent (failures included) has become sent.
    void mailSent(qint64 sent, qint64 intervalMs);
    // Rtry gave the run another interval: the time left counts with it from now on.
    void intervalChanged(qint64 intervalMs);
    // Only addresses of domains that must wait are left: the caption says what the run waits
    // for in place of the time left, until the next mail is counted.
    void waiting(const QString& text);
    // No run is active any more.
    void stop();

    bool active() const { return m_estimate.has_value(); }

private:
    void show(qint64 intervalMs);

    QWidget* m_window;
    QString m_caption;
    QString m_waiting;
    std::optional<delivery::RunEstimate> m_estimate;
};

} // namespace shell
