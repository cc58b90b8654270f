#include "core/delivery/progress_text.h"

#include <algorithm>
#include <vector>

namespace delivery {

QString RemainingTimeText(qint64 milliseconds)
{
    const qint64 minutes = (std::max<qint64>(milliseconds, 0) + 30'000) / 60'000;
    if (minutes < 1)
        return QStringLiteral("1分未満");
    if (minutes < 60)
        return QStringLiteral("約%1分").arg(minutes);
    if (minutes % 60 == 0)
        return QStringLiteral("約%1時間").arg(minutes / 60);
    return QStringLiteral("約%1時間%2分").arg(minutes / 60).arg(minutes % 60);
}

QString ProgressCaption(const QString& caption, qint64 sent, qint64 total,
                        std::optional<qint64> remainingMs)
{
    const QChar gap(0x3000);
    QString text =
        caption + gap + QString::number(sent) + QLatin1Char('/') + QString::number(total);
    if (remainingMs)
        text += gap + QStringLiteral("残り") + RemainingTimeText(*remainingMs);
    return text;
}

void RunEstimate::mailSent(qint64 sent, qint64 nowMs)
{
    m_sent = sent;
    if (m_lastMailAt) {
        m_gaps.push_back(std::max<qint64>(nowMs - *m_lastMailAt, 0));
        if (m_gaps.size() > kGapsKept)
            m_gaps.pop_front();
    }
    m_lastMailAt = nowMs;
}

std::optional<qint64> RunEstimate::remainingMs(qint64 intervalMs) const
{
    const qint64 left = m_total - m_sent;
    if (left <= 0)
        return std::nullopt;
    qint64 perMail = std::max<qint64>(intervalMs, 0);
    if (!m_gaps.empty()) {
        std::vector<qint64> gaps(m_gaps.begin(), m_gaps.end());
        auto middle = gaps.begin() + qsizetype(gaps.size() / 2);
        std::nth_element(gaps.begin(), middle, gaps.end());
        // A longer interval given with Rtry counts at once; a shorter one once its gaps
        // are the majority.
        perMail = std::max(perMail, *middle);
    }
    return left * perMail;
}

} // namespace delivery
