#include "core/delivery/recipient_list.h"

#include "core/text/trim.h"

namespace delivery {

RecipientList::RecipientList(std::unique_ptr<platform::ListFileReader> reader)
    : m_reader(std::move(reader))
{
}

std::unique_ptr<RecipientList> RecipientList::open(const QString& path, QString* errorText)
{
    std::unique_ptr<platform::ListFileReader> reader =
        platform::ListFileReader::open(path, errorText);
    if (!reader)
        return nullptr;
    return std::unique_ptr<RecipientList>(new RecipientList(std::move(reader)));
}

bool RecipientList::isAddressLine(const QString& line)
{
    return !compose::Trim(line).isEmpty();
}

bool RecipientList::rewind()
{
    m_next.reset();
    return m_reader->rewind();
}

std::optional<bool> RecipientList::hasAddress(QString* errorText)
{
    const bool found = readAddress().has_value();
    const bool failed = m_reader->hasError() || !rewind();
    if (failed) {
        if (errorText)
            *errorText = m_reader->errorString();
        return std::nullopt;
    }
    return found;
}

std::optional<QString> RecipientList::readAddress()
{
    if (m_next) {
        std::optional<QString> next = std::move(m_next);
        m_next.reset();
        return next;
    }
    while (std::optional<QString> line = m_reader->readLine()) {
        if (isAddressLine(*line))
            return compose::Trim(*line);
    }
    return std::nullopt;
}

bool RecipientList::noAddressLeft()
{
    if (!m_next)
        m_next = readAddress();
    return !m_next.has_value();
}

} // namespace delivery
