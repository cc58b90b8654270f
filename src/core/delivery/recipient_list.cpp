#include "core/delivery/recipient_list.h"

namespace delivery {

RecipientList::RecipientList(const QString& path) : m_file(path) {}

std::unique_ptr<RecipientList> RecipientList::open(const QString& path, QString* errorText)
{
    std::unique_ptr<RecipientList> list(new RecipientList(path));
    if (!list->m_file.open(QIODevice::ReadOnly) || !list->rewind()) {
        if (errorText)
            *errorText = list->m_file.errorString();
        return nullptr;
    }
    return list;
}

bool RecipientList::rewind()
{
    if (!m_file.seek(0))
        return false;
    m_reader = std::make_unique<platform::CrLineReader>(&m_file);
    m_reader->skipUtf8Bom();
    return !m_reader->hasError();
}

std::optional<bool> RecipientList::hasSecondLine(QString* errorText)
{
    auto fail = [&]() -> std::optional<bool> {
        if (errorText)
            *errorText = m_file.errorString();
        return std::nullopt;
    };
    (void)m_reader->readLine();
    const bool atEndAfterOne = m_reader->atEnd();
    if (m_reader->hasError())
        return fail();
    if (!rewind())
        return fail();
    return !atEndAfterOne;
}

} // namespace delivery
