#include "gui/main_window/run_title.h"

#include "core/delivery/list_count.h"
#include "core/platform/clock.h"
#include "gui/platform/launcher_progress.h"

#include <QDateTime>
#include <QWidget>

namespace shell {

void RunTitle::start(const QString& listPath, qint64 intervalMs)
{
    // A list that cannot be counted has no fraction to show; the run itself reports what it
    // finds.
    start(delivery::CountRecipients(listPath).value_or(0), intervalMs);
}

void RunTitle::start(qint64 total, qint64 intervalMs)
{
    stop();
    // A list of nothing but blanks has no fraction to show either.
    if (total <= 0)
        return;
    m_caption = m_window->windowTitle();
    m_estimate.emplace(total);
    show(intervalMs);
}

void RunTitle::mailSent(qint64 sent, qint64 intervalMs)
{
    if (!m_estimate)
        return;
    m_estimate->mailSent(sent, platform::clock().now().toMSecsSinceEpoch());
    m_waiting.clear();
    show(intervalMs);
}

void RunTitle::intervalChanged(qint64 intervalMs)
{
    if (m_estimate)
        show(intervalMs);
}

void RunTitle::waiting(const QString& text)
{
    if (!m_estimate || text == m_waiting)
        return;
    m_waiting = text;
    show(0);
}

void RunTitle::stop()
{
    if (!m_estimate)
        return;
    m_estimate.reset();
    m_waiting.clear();
    m_window->setWindowTitle(m_caption);
    platform::launcherProgress().hide(m_window);
}

void RunTitle::show(qint64 intervalMs)
{
    const qint64 sent = m_estimate->sent();
    const qint64 total = m_estimate->total();
    if (m_waiting.isEmpty())
        m_window->setWindowTitle(
            delivery::ProgressCaption(m_caption, sent, total, m_estimate->remainingMs(intervalMs)));
    else
        m_window->setWindowTitle(delivery::ProgressCaption(m_caption, sent, total, std::nullopt) +
                                 QChar(0x3000) + m_waiting);
    platform::launcherProgress().show(m_window, double(sent) / double(total));
}

} // namespace shell
