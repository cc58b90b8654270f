#pragma once

#include "core/transport/mail_transport.h"

#include <QString>

namespace transport {

// The error text as the program takes it from the transport's buffer: the characters before
// the first NUL; the rest of the buffer is filler.
QString ErrorTextOfBuffer(const QString& buffer);

// The program's MailTransport, built on the NMail entry points, which stay the library's face.
// Making one readies the library (NMailInitializeWinSock, option 1 = kErrorTextBufferSize);
// destroying it closes the kept SMTP connection and releases the library (NMailEndWinSock).
// Use it on one thread, the one that made it: the POP3 client's sockets belong to that thread.
class NMailTransport final : public MailTransport
{
public:
    NMailTransport();
    ~NMailTransport() override;
    NMailTransport(const NMailTransport&) = delete;
    NMailTransport& operator=(const NMailTransport&) = delete;

    // NMailSmtpSendMail with the window's arguments (the extra headers in the header slot, the
    // signer after the final 1); on failure the error text comes from NMailGetMessage, its
    // class from NMailGetFailureClass and NMailGetMayHaveArrived.
    SendOutcome send(const MailRequest& mail) override;
    // NMailPop3Login: connect, authenticate and close, within the login's deadline.
    LoginOutcome pop3Login(const Pop3Request& login) override;
    void closeSession() override;
};

} // namespace transport
