#include "delivery/recipient_list.h"

#include <memory>

namespace delivery {

RecipientList::RecipientList(const QString& path) : m_file(path), m_reader(&m_file) {}

std::unique_ptr<RecipientList> RecipientList::open(const QString& path, QString* errorText)
{
    std::unique_ptr<RecipientList> list(new RecipientList(path));
    if (!list->m_file.open(QIODevice::ReadOnly)) {
        if (errorText)
            *errorText = list->m_file.errorString();
        return nullptr;
    }
    list->m_reader.skipUtf8Bom();
    return list;
}

} // namespace delivery
