#pragma once

#include <QString>

#include <deque>
#include <optional>

namespace delivery {

// "約48分", "約1時間5分", "1分未満": an estimate of the time left, rounded to whole minutes.
QString RemainingTimeText(qint64 milliseconds);

// The caption of the main window during a run: the caption, then the mails sent out of the
// total, then the time left, each after an ideographic space, as in
// "ＫＥＺ－ＭＡＩＬＥＲ　a1.00　123/10000　残り約49分". Without an estimate, or with
// nothing left to send, the time is left out.
QString ProgressCaption(const QString& caption, qint64 sent, qint64 total,
                        std::optional<qint64> remainingMs);

// Estimates the time a run still needs from the gaps between its mails: a gap is the interval
// plus the time a mail takes. A pause, a login or an error box the operator took a while to
// answer makes one long gap, so the estimate takes the median of the latest gaps rather than
// their mean; until two mails have gone it takes the interval alone.
class RunEstimate
{
public:
    explicit RunEstimate(qint64 total) : m_total(total) {}

    qint64 total() const { return m_total; }
    qint64 sent() const { return m_sent; }

    // The mail that brought the count to sent has just gone, at nowMs on a steady clock.
    void mailSent(qint64 sent, qint64 nowMs);
    // Time left at the current interval; nullopt when nothing is left to send.
    std::optional<qint64> remainingMs(qint64 intervalMs) const;

private:
    static constexpr std::size_t kGapsKept = 9;

    qint64 m_total;
    qint64 m_sent = 0;
    std::optional<qint64> m_lastMailAt;
    std::deque<qint64> m_gaps;
};

} // namespace delivery
