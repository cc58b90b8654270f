#pragma once

#include "core/transport/message_signer.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

struct dkim_lib;

// DKIM signing (RFC 6376) with libopendkim, relaxed/relaxed, RSA-SHA256 or Ed25519-SHA256
// (RFC 8463).
namespace bulk {

enum class DkimAlgorithm { Rsa, Ed25519 };

struct DkimKey
{
    DkimAlgorithm algorithm = DkimAlgorithm::Rsa;
    int bits = 0;
    QByteArray privatePem; // the key again as unencrypted PKCS#8 PEM, as libopendkim takes it
    QByteArray publicKey;  // base64, the p= of the DNS record
};

// The smallest RSA key accepted; providers ignore signatures with shorter keys.
inline constexpr int kMinRsaBits = 2048;

// Reads a PEM private key for signing: RSA of at least 2048 bits, or Ed25519. On failure
// nullopt and, in *error, a message that names the file and the reason.
std::optional<DkimKey> ReadDkimKey(const QString& path, QString* error);

// The DNS TXT record that publishes the key: name "selector._domainkey.domain", value
// "v=DKIM1; k=rsa; p=...".
QString DnsRecordName(const QString& selector, const QString& domain);
QString DnsRecordValue(const DkimKey& key);

// The dialog's checks of d= and s=: true when usable, else false with the message in *problem.
bool CheckDkimDomain(const QString& domain, QString* problem);
bool CheckDkimSelector(const QString& selector, QString* problem);

// Whether d= aligns with the sender address (relaxed alignment, as DMARC checks it): the
// address's domain, in any case and in its xn-- form, is d= or ends with "." + d=. A signature
// that cannot align is worse than none: DMARC fails and the provider reads the mail as
// spoofed. False, with a message naming both domains in *problem, when it does not.
bool CheckDkimAlignment(const QString& domain, const QString& senderAddress, QString* problem);

// The fields a signature covers when the mail has them. libopendkim signs each one present and
// leaves out the ones a mail lacks (a notice has no List-Unsubscribe).
inline constexpr const char* kSignedFields[] = {
    "From",
    "To",
    "Subject",
    "Date",
    "Message-ID",
    "MIME-Version",
    "Content-Type",
    "List-Unsubscribe",
    "List-Unsubscribe-Post",
};

class DkimSigner : public transport::MessageSigner
{
public:
    // Reads the key, checks d= and s=, and signs a small mail once, so that a key the library
    // cannot use refuses the start of a run instead of failing every mail. On failure nullptr
    // and a message naming the key file and the reason.
    static std::shared_ptr<const DkimSigner> create(const QString& domain, const QString& selector,
                                                    const QString& keyPath, QString* error);
    ~DkimSigner() override;
    DkimSigner(const DkimSigner&) = delete;
    DkimSigner& operator=(const DkimSigner&) = delete;

    std::optional<QByteArray> sign(const QByteArray& message, QString* error) const override;
    const DkimKey& key() const { return m_key; }

private:
    DkimSigner(dkim_lib* lib, DkimKey key, QByteArray domain, QByteArray selector);

    dkim_lib* m_lib;
    DkimKey m_key;
    QByteArray m_domain;
    QByteArray m_selector;
    // One signature at a time: the library handle is shared by every signing.
    mutable std::mutex m_mutex;
};

} // namespace bulk
