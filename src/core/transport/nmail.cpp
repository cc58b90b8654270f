// The SMTP half of the transport entry points: library start and end, the error text, and
// sending one mail (check, compose, send).
#include "core/transport/nmail.h"

#include "core/platform/clock.h"
#include "core/transport/extra_headers.h"
#include "core/transport/last_error.h"
#include "core/transport/mail_address.h"
#include "core/transport/message_composer.h"
#include "core/transport/smtp_sender.h"
#include "core/transport/smtp_server.h"

#include <curl/curl.h>

#include <memory>

namespace {

int g_errorTextSize = kErrorTextBufferSize;
bool g_curlReady = false;

std::unique_ptr<transport::SmtpSender>& sender()
{
    static std::unique_ptr<transport::SmtpSender> instance;
    return instance;
}

int fail(const QString& text)
{
    transport::setLastError(text);
    return -1;
}

} // namespace

int NMailInitializeWinSock()
{
    if (!g_curlReady)
        g_curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return g_curlReady ? 0 : -1;
}

int NMailSetOption(int option, int value)
{
    if (option != 1 || value < 1)
        return -1;
    g_errorTextSize = value;
    return 0;
}

int NMailEndWinSock()
{
    sender().reset();
    if (g_curlReady)
        curl_global_cleanup();
    g_curlReady = false;
    return 0;
}

int NMailSmtpSendMail(const QString& server, const QString& to, const QString* /*cc*/,
                      const QString* /*bcc*/, const QString& from, const QString& subject,
                      const QString& body, const QString* header, const QString& attachments,
                      int /*flag*/, const transport::MessageSigner* signer)
{
    transport::setLastError(QString());
    QString error;
    std::optional<transport::SmtpServer> smtp = transport::parseSmtpServer(server, &error);
    if (!smtp)
        return fail(error);

    // Everything that reaches the envelope is checked before libcurl sees it: it would pass
    // CR/LF on unchanged, and with no recipient it reports success without sending anything.
    transport::Sender fromParts = transport::splitSender(from);
    if (transport::hasControlCharacter(fromParts.name))
        return fail(
            QStringLiteral("差出人名に改行などの制御文字が含まれているため、送信を中止しました。"));
    std::optional<QString> mailFrom =
        transport::envelopeAddress(fromParts.address, QStringLiteral("差出人アドレス"), &error);
    if (!mailFrom)
        return fail(error);
    std::optional<QString> rcptTo =
        transport::envelopeAddress(to, QStringLiteral("宛先アドレス"), &error);
    if (!rcptTo)
        return fail(error);

    transport::OutgoingMail mail;
    mail.fromName = fromParts.name;
    mail.fromAddress = *mailFrom;
    mail.toAddress = *rcptTo;
    mail.subject = subject;
    mail.body = body;
    mail.attachmentPaths = transport::splitAttachmentList(attachments);
    mail.date = platform::clock().now();
    if (header) {
        std::optional<QList<QByteArray>> extra = transport::parseExtraHeaders(*header, &error);
        if (!extra)
            return fail(error);
        mail.extraHeaders = std::move(*extra);
    }
    std::optional<QByteArray> message = transport::composeMessage(mail, &error);
    if (!message)
        return fail(error);
    // The final bytes are signed, so nothing may change them after this.
    if (signer) {
        message = signer->sign(*message, &error);
        if (!message)
            return fail(error);
    }

    if (!g_curlReady)
        NMailInitializeWinSock();
    if (!sender())
        sender() = std::make_unique<transport::SmtpSender>();
    const transport::SendOutcome outcome = sender()->send(*smtp, *mailFrom, *rcptTo, *message);
    if (!outcome.ok) {
        transport::setLastError(outcome.errorText, outcome.failure, outcome.mayHaveArrived,
                                outcome.replyCode);
        return -1;
    }
    return 0;
}

transport::FailureClass NMailGetFailureClass()
{
    return transport::lastFailureClass();
}

bool NMailGetMayHaveArrived()
{
    return transport::lastFailureMayHaveArrived();
}

int NMailGetReplyCode()
{
    return transport::lastFailureReplyCode();
}

int NMailGetMessage(int /*code*/, QString& buffer, int& size)
{
    int limit = std::max(0, std::min(size, g_errorTextSize) - 1);
    QString text = transport::lastError();
    // Cut at a NUL, the server's words after it would be lost.
    text.replace(QChar(u'\0'), QStringLiteral("\\x00"));
    buffer = text.left(limit);
    return int(buffer.size());
}
