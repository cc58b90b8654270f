#pragma once

#include "core/bulk/bulk_headers.h"
#include "core/bulk/bulk_settings.h"
#include "core/bulk/suppression.h"
#include "core/transport/mail_transport.h"
#include "core/transport/message_signer.h"

#include <QString>

#include <memory>
#include <optional>

// What a delivery run, or a test mail, takes from the delivery options: read and checked once
// at its start, then asked for each mail.
//
// At the start of a run:
//     QString refusal;
//     std::optional<bulk::RunOptions> bulk =
//         bulk::RunOptions::prepareRun(appDir, &refusal, Settings.MAIL);
//     if (!bulk) -> show refusal (exclamation, "KEZ-MAILER"); the run does not start.
// For each list address, before the mail:
//     if (std::optional<QString> skip = bulk->skipReason(address)) -> no mail; lblAdres shows
//         the address; when ERRLOG is on, ErrorLogLine(*skip, address, stamp) goes to the error
//         log; no counter moves and no error notice is shown.
//     else bulk->decorate(request, bulk::MailKind::Delivery), send, and when the mail went out
//         (or may have arrived) bulk->noteSent(address).
// The notices of the run use decorate(request, bulk::MailKind::Notice); the test mail uses
// prepareTestMail and MailKind::Test.
namespace bulk {

// The error log texts of a skipped address.
QString SuppressedText();  // on the suppression list
QString AlreadySentText(); // sent earlier in the same run

class RunOptions
{
public:
    // Reads bulk.ini, the DKIM key and the suppression list. A missing bulk.ini means no
    // options set (BulkSettings{}). Returns nullopt, with a message naming the file and the
    // reason in *refusal, when bulk.ini exists but cannot be read whole, when an unsubscribe
    // template is unusable, when d= does not align with the sender (the settings' MAIL; none
    // given aligns with nothing), when the DKIM key cannot be read or used, or when the
    // suppression list cannot be read: the run must not start, since it would send unsigned
    // or to addresses that opted out.
    static std::optional<RunOptions> prepareRun(const QString& appDir, QString* refusal,
                                                const QString& senderAddress = QString());
    // The same for the test mail, without the suppression list, which only a run consults.
    static std::optional<RunOptions> prepareTestMail(const QString& appDir, QString* refusal,
                                                     const QString& senderAddress = QString());

    const BulkSettings& settings() const { return m_settings; }
    // The header slot's text for one mail (empty when it carries none).
    QString headersFor(MailKind kind, const QString& recipient) const;
    // The signer of every mail; null when DKIM is off.
    std::shared_ptr<const transport::MessageSigner> signer() const { return m_signer; }
    // Fills request.headers (for request.to) and request.signer. A given footer is the text
    // appended in place of settings().footer: a mail with merge fields brings its own, filled.
    void decorate(transport::MailRequest& request, MailKind kind,
                  std::optional<QString> footer = std::nullopt) const;

    // Why an address of the list must not be sent, or nullopt when it may be.
    std::optional<QString> skipReason(const QString& address) const;
    // Remembers an address that went out, for the one mail per address of this run.
    void noteSent(const QString& address);

    qsizetype suppressedCount() const { return m_suppression.size(); }

private:
    static std::optional<RunOptions> prepare(const QString& appDir, const QString& senderAddress,
                                             bool withSuppression, QString* refusal);

    BulkSettings m_settings;
    std::shared_ptr<const transport::MessageSigner> m_signer;
    SuppressionList m_suppression;
    SentAddresses m_sent;
};

} // namespace bulk
