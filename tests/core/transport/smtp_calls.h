#pragma once

// The SMTP entry point as the main window calls it, and the error text it leaves, for the
// transport tests.
#include "core/transport/nmail.h"

#include <QString>

namespace smtp_calls {

inline const QString kFrom = QStringLiteral("山田太郎<taro@example.jp>");

inline int send(const QString& server, const QString& to, const QString& from = kFrom,
                const QString& attachments = QString())
{
    return NMailSmtpSendMail(server, to, nullptr, nullptr, from, QStringLiteral("件名"),
                             QStringLiteral("本文です。\r\n"), nullptr, attachments, 1);
}

inline QString errorText()
{
    QString buffer;
    int size = kErrorTextBufferSize;
    NMailGetMessage(0, buffer, size);
    return buffer;
}

} // namespace smtp_calls
