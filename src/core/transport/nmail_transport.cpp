#include "core/transport/nmail_transport.h"

#include "core/transport/message_composer.h"
#include "core/transport/nmail.h"

#include <mutex>

namespace transport {
namespace {

// The entry points keep their state (the last error, the kept connection) process-wide, as a
// library of plain functions does. Two transports at once (two windows in one test process)
// take turns.
std::mutex& libraryMutex()
{
    static std::mutex mutex;
    return mutex;
}

QString lastErrorText()
{
    QString buffer(kErrorTextBufferSize, QChar(u'\0'));
    int size = kErrorTextBufferSize;
    NMailGetMessage(0, buffer, size);
    return ErrorTextOfBuffer(buffer);
}

} // namespace

QString ErrorTextOfBuffer(const QString& buffer)
{
    const qsizetype nul = buffer.indexOf(QChar(u'\0'));
    return nul < 0 ? buffer : buffer.left(nul);
}

NMailTransport::NMailTransport()
{
    std::lock_guard lock(libraryMutex());
    NMailInitializeWinSock();
    NMailSetOption(1, kErrorTextBufferSize);
}

NMailTransport::~NMailTransport()
{
    std::lock_guard lock(libraryMutex());
    NMailEndWinSock();
}

SendOutcome NMailTransport::send(const MailRequest& mail)
{
    std::lock_guard lock(libraryMutex());
    SendOutcome outcome;
    const int result = NMailSmtpSendMail(
        mail.server, mail.to, nullptr, nullptr, mail.from, mail.subject, mail.body,
        mail.headers.isEmpty() ? nullptr : &mail.headers, mail.attachments, 1, mail.signer.get());
    outcome.ok = result >= 0;
    outcome.messageId = lastComposedMessageId();
    if (!outcome.ok) {
        // At once: the next call of any entry point replaces the description.
        outcome.errorText = lastErrorText();
        outcome.failure = NMailGetFailureClass();
        outcome.mayHaveArrived = NMailGetMayHaveArrived();
        outcome.replyCode = NMailGetReplyCode();
        // A failure the library gave no class still counts as one.
        if (outcome.failure == FailureClass::None)
            outcome.failure = FailureClass::Local;
    }
    return outcome;
}

LoginOutcome NMailTransport::pop3Login(const Pop3Request& login)
{
    std::lock_guard lock(libraryMutex());
    return NMailPop3Login(login);
}

void NMailTransport::closeSession()
{
    std::lock_guard lock(libraryMutex());
    // Ending the library closes its kept connection; the next send connects afresh.
    NMailEndWinSock();
    NMailInitializeWinSock();
}

} // namespace transport
