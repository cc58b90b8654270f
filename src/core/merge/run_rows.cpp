#include "core/merge/merge_fields.h"

namespace merge {

RunRows::RunRows(QString path, std::unique_ptr<ListReader> inOrder)
    : m_path(std::move(path)), m_inOrder(std::move(inOrder))
{
}

std::unique_ptr<RunRows> RunRows::open(const QString& path, QString* error)
{
    std::unique_ptr<ListReader> reader = ListReader::open(path, error);
    if (!reader)
        return nullptr;
    return std::unique_ptr<RunRows>(new RunRows(path, std::move(reader)));
}

std::optional<Row> RunRows::next()
{
    if (m_ahead)
        m_last = std::exchange(m_ahead, std::nullopt);
    else
        m_last = m_inOrder->next();
    if (m_inOrder->hasError())
        m_error = m_inOrder->errorString();
    return m_last;
}

bool RunRows::noneLeft()
{
    if (!m_ahead) {
        m_ahead = m_inOrder->next();
        if (m_inOrder->hasError())
            m_error = m_inOrder->errorString();
    }
    return !m_ahead.has_value();
}

bool RunRows::reopenFinder()
{
    m_found.reset();
    QString error;
    m_finder = ListReader::open(m_path, &error);
    if (!m_finder)
        m_error = error;
    return m_finder != nullptr;
}

std::optional<Row> RunRows::rowAt(qint64 line)
{
    if (m_last && m_last->line == line)
        return m_last;
    if (m_found && m_found->line == line)
        return m_found;
    if ((!m_finder || !m_found || m_found->line > line) && !reopenFinder())
        return std::nullopt;
    while ((m_found = m_finder->next())) {
        if (m_found->line == line) {
            // A row not found before may be found on a later try: the run went on.
            if (!m_inOrder->hasError())
                m_error.clear();
            return m_found;
        }
        if (m_found->line > line)
            break;
    }
    m_error = m_finder->hasError()
                  ? m_finder->errorString()
                  : QStringLiteral("%1行目から始まる宛先の行がありません").arg(line);
    return std::nullopt;
}

} // namespace merge
