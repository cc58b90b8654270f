#include "core/bulk/dkim_signer.h"

#include "core/platform/text_files.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUrl>

#include <opendkim/dkim.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <iterator>
#include <vector>

namespace bulk {
namespace {

// A key file is a few kilobytes; anything far larger is the wrong file.
constexpr qint64 kMaxKeyFileSize = 64 * 1024;

const QByteArray kSignatureField = "DKIM-Signature";

struct BioDeleter
{
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct PkeyDeleter
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

QString keyFileMessage(const QString& path, const QString& reason)
{
    return QStringLiteral("DKIMの秘密鍵ファイルを使えません。\n%1\n%2")
        .arg(QDir::toNativeSeparators(path), reason);
}

// OpenSSL would otherwise ask for a passphrase on the terminal.
int noPassphrase(char*, int, int, void*)
{
    return -1;
}

QString opensslReason()
{
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? QString::fromLatin1(reason) : QStringLiteral("不明な理由");
}

QByteArray bioBytes(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, size);
}

// Everything about the key that does not need the file: what it is and whether it will do.
std::optional<DkimKey> describeKey(EVP_PKEY* pkey, QString* reason)
{
    DkimKey key;
    const int type = EVP_PKEY_get_base_id(pkey);
    key.bits = EVP_PKEY_get_bits(pkey);
    if (type == EVP_PKEY_RSA) {
        key.algorithm = DkimAlgorithm::Rsa;
        if (key.bits < kMinRsaBits) {
            *reason = QStringLiteral("RSA鍵の長さが%1ビットです。%2ビット以上の鍵を使って下さい。")
                          .arg(key.bits)
                          .arg(kMinRsaBits);
            return std::nullopt;
        }
        // The record carries the SubjectPublicKeyInfo in DER, as every DKIM key tool writes it.
        unsigned char* der = nullptr;
        const int size = i2d_PUBKEY(pkey, &der);
        if (size <= 0) {
            *reason = QStringLiteral("公開鍵を取り出せません（%1）。").arg(opensslReason());
            return std::nullopt;
        }
        key.publicKey = QByteArray(reinterpret_cast<const char*>(der), size).toBase64();
        OPENSSL_free(der);
    } else if (type == EVP_PKEY_ED25519) {
        key.algorithm = DkimAlgorithm::Ed25519;
        // RFC 8463: the record holds the bare 32-octet public key.
        unsigned char raw[32];
        size_t size = sizeof raw;
        if (EVP_PKEY_get_raw_public_key(pkey, raw, &size) != 1) {
            *reason = QStringLiteral("公開鍵を取り出せません（%1）。").arg(opensslReason());
            return std::nullopt;
        }
        key.publicKey = QByteArray(reinterpret_cast<const char*>(raw), qsizetype(size)).toBase64();
    } else {
        const char* name = OBJ_nid2sn(type);
        *reason = QStringLiteral("DKIMに使えない種類の鍵です（%1）。RSA（%2ビット以上）か "
                                 "Ed25519 の鍵を使って下さい。")
                      .arg(name ? QString::fromLatin1(name) : QString::number(type))
                      .arg(kMinRsaBits);
        return std::nullopt;
    }

    const BioPtr out(BIO_new(BIO_s_mem()));
    if (!out ||
        PEM_write_bio_PrivateKey(out.get(), pkey, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        *reason = QStringLiteral("秘密鍵を取り出せません（%1）。").arg(opensslReason());
        return std::nullopt;
    }
    key.privatePem = bioBytes(out.get());
    return key;
}

QString statusText(DKIM_STAT status, DKIM* dkim)
{
    QString text = QString::fromLatin1(dkim_getresultstr(status));
    if (dkim) {
        const char* detail = dkim_geterror(dkim);
        if (detail && *detail)
            text += QStringLiteral(": ") + QString::fromLatin1(detail);
    }
    return text;
}

// A DNS name of letters, digits and hyphens, label by label.
bool isDnsName(const QString& name, bool needsDot)
{
    static const QRegularExpression label(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    if (name.isEmpty() || name.size() > 253)
        return false;
    const QStringList labels = name.split(QLatin1Char('.'));
    if (needsDot && labels.size() < 2)
        return false;
    for (const QString& l : labels) {
        if (!label.match(l).hasMatch())
            return false;
    }
    return true;
}

} // namespace

std::optional<DkimKey> ReadDkimKey(const QString& path, QString* error)
{
    QFile file;
    QString openError;
    if (!platform::openRegularFile(file, path, &openError)) {
        *error = keyFileMessage(path, openError);
        return std::nullopt;
    }
    // At most the limit and one byte more, whatever size the file claims or grows to.
    const QByteArray pem = file.read(kMaxKeyFileSize + 1);
    if (pem.size() > kMaxKeyFileSize) {
        *error = keyFileMessage(path, QStringLiteral("鍵のファイルとしては大きすぎます。"));
        return std::nullopt;
    }
    if (file.error() != QFileDevice::NoError) {
        *error = keyFileMessage(path, file.errorString());
        return std::nullopt;
    }

    auto refuse = [&](const QString& reason) -> std::optional<DkimKey> {
        *error = keyFileMessage(path, reason);
        return std::nullopt;
    };
    if (!pem.contains("-----BEGIN "))
        return refuse(QStringLiteral("PEM形式の秘密鍵ではありません。"));
    if (pem.contains("-----BEGIN PUBLIC KEY-----") && !pem.contains(" PRIVATE KEY-----"))
        return refuse(QStringLiteral("公開鍵のファイルです。秘密鍵のファイルを指定して下さい。"));
    if (pem.contains("ENCRYPTED"))
        return refuse(QStringLiteral("パスフレーズで保護された鍵は使えません。パスフレーズのない"
                                     "鍵を指定して下さい。"));

    ERR_clear_error();
    const BioPtr in(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    const PkeyPtr pkey(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, noPassphrase, nullptr)
                          : nullptr);
    if (!pkey)
        return refuse(QStringLiteral("秘密鍵として読めません（%1）。").arg(opensslReason()));
    QString reason;
    std::optional<DkimKey> key = describeKey(pkey.get(), &reason);
    if (!key)
        return refuse(reason);
    return key;
}

QString DnsRecordName(const QString& selector, const QString& domain)
{
    return selector + QStringLiteral("._domainkey.") + domain;
}

QString DnsRecordValue(const DkimKey& key)
{
    return QStringLiteral("v=DKIM1; k=%1; p=%2")
        .arg(key.algorithm == DkimAlgorithm::Ed25519 ? QStringLiteral("ed25519")
                                                     : QStringLiteral("rsa"),
             QString::fromLatin1(key.publicKey));
}

bool CheckDkimDomain(const QString& domain, QString* problem)
{
    if (isDnsName(domain, true))
        return true;
    if (problem)
        *problem = QStringLiteral("DKIMの署名ドメインが正しくありません。半角英数字のドメイン名"
                                  "（例: example.jp。日本語ドメインは xn-- で始まる形）で入力して"
                                  "下さい。");
    return false;
}

bool CheckDkimSelector(const QString& selector, QString* problem)
{
    if (isDnsName(selector, false))
        return true;
    if (problem)
        *problem = QStringLiteral("DKIMのセレクターが正しくありません。半角英数字とハイフンで"
                                  "入力して下さい。");
    return false;
}

bool CheckDkimAlignment(const QString& domain, const QString& senderAddress, QString* problem)
{
    const qsizetype at = senderAddress.lastIndexOf(QLatin1Char('@'));
    const QString mailDomain = at < 0 ? QString() : senderAddress.mid(at + 1);
    if (mailDomain.isEmpty()) {
        if (problem)
            *problem = QStringLiteral("送信者のメールアドレス（%1）にドメインがないため、DKIMの"
                                      "署名ドメイン「%2」が合っているか確かめられません。")
                           .arg(senderAddress, domain);
        return false;
    }
    // A Japanese domain in MAIL is compared in the form a DNS name takes.
    QString ace = QString::fromLatin1(QUrl::toAce(mailDomain));
    if (ace.isEmpty())
        ace = mailDomain;
    const QString mail = ace.toLower();
    const QString d = domain.toLower();
    if (!d.isEmpty() && (mail == d || mail.endsWith(QLatin1Char('.') + d)))
        return true;
    if (problem)
        *problem = QStringLiteral("DKIMの署名ドメイン「%1」が送信者のメールアドレスのドメイン"
                                  "「%2」と合っていません。署名ドメインには「%2」か、その親の"
                                  "ドメインを入力して下さい。")
                       .arg(domain, mailDomain);
    return false;
}

DkimSigner::DkimSigner(dkim_lib* lib, DkimKey key, QByteArray domain, QByteArray selector)
    : m_lib(lib), m_key(std::move(key)), m_domain(std::move(domain)),
      m_selector(std::move(selector))
{
}

DkimSigner::~DkimSigner()
{
    dkim_close(m_lib);
}

std::shared_ptr<const DkimSigner> DkimSigner::create(const QString& domain, const QString& selector,
                                                     const QString& keyPath, QString* error)
{
    if (!CheckDkimDomain(domain, error) || !CheckDkimSelector(selector, error))
        return nullptr;
    std::optional<DkimKey> key = ReadDkimKey(keyPath, error);
    if (!key)
        return nullptr;

    DKIM_LIB* lib = dkim_init(nullptr, nullptr);
    if (!lib) {
        *error =
            keyFileMessage(keyPath, QStringLiteral("DKIM署名のライブラリを初期化できません。"));
        return nullptr;
    }
    std::shared_ptr<DkimSigner> signer(
        new DkimSigner(lib, std::move(*key), domain.toLatin1(), selector.toLatin1()));

    if (signer->m_key.algorithm == DkimAlgorithm::Ed25519 &&
        !dkim_libfeature(lib, DKIM_FEATURE_ED25519)) {
        *error =
            keyFileMessage(keyPath, QStringLiteral("この環境のDKIMライブラリは Ed25519 の署名"
                                                   "に対応していません。RSA鍵を使って下さい。"));
        return nullptr;
    }
    std::vector<const char*> fields(std::begin(kSignedFields), std::end(kSignedFields));
    fields.push_back(nullptr);
    // The library takes the list itself as data and the size of a pointer to it as length.
    const DKIM_STAT set =
        dkim_options(lib, DKIM_OP_SETOPT, DKIM_OPTS_SIGNHDRS, fields.data(), sizeof(const char**));
    if (set != DKIM_STAT_OK) {
        *error = keyFileMessage(keyPath, QStringLiteral("署名するヘッダーを設定できません（%1）。")
                                             .arg(statusText(set, nullptr)));
        return nullptr;
    }

    QString reason;
    if (!signer->sign("From: check@" + signer->m_domain + "\r\nSubject: check\r\n\r\ncheck\r\n",
                      &reason)) {
        *error = keyFileMessage(keyPath, reason);
        return nullptr;
    }
    return signer;
}

std::optional<QByteArray> DkimSigner::sign(const QByteArray& message, QString* error) const
{
    std::lock_guard lock(m_mutex);
    auto fail = [error](const QString& what) -> std::optional<QByteArray> {
        *error = QStringLiteral("DKIM署名を作れなかったため、送信を中止しました（%1）。").arg(what);
        return std::nullopt;
    };
    const dkim_alg_t algorithm =
        m_key.algorithm == DkimAlgorithm::Ed25519 ? DKIM_SIGN_ED25519SHA256 : DKIM_SIGN_RSASHA256;
    DKIM_STAT status = DKIM_STAT_OK;
    QByteArray secret = m_key.privatePem; // the library takes a writable buffer
    DKIM* dkim = dkim_sign(m_lib, reinterpret_cast<const unsigned char*>("kezmailer"), nullptr,
                           reinterpret_cast<unsigned char*>(secret.data()),
                           reinterpret_cast<const unsigned char*>(m_selector.constData()),
                           reinterpret_cast<const unsigned char*>(m_domain.constData()),
                           DKIM_CANON_RELAXED, DKIM_CANON_RELAXED, algorithm, -1, &status);
    if (!dkim)
        return fail(statusText(status, nullptr));
    const std::unique_ptr<DKIM, DKIM_STAT (*)(DKIM*)> handle(dkim, dkim_free);

    QByteArray input = message;
    status = dkim_chunk(dkim, reinterpret_cast<unsigned char*>(input.data()), size_t(input.size()));
    if (status == DKIM_STAT_OK)
        status = dkim_chunk(dkim, nullptr, 0);
    if (status == DKIM_STAT_OK)
        status = dkim_eom(dkim, nullptr);
    unsigned char* field = nullptr;
    size_t length = 0;
    if (status == DKIM_STAT_OK)
        status = dkim_getsighdr_d(dkim, size_t(kSignatureField.size()) + 2, &field, &length);
    if (status != DKIM_STAT_OK)
        return fail(statusText(status, dkim));
    return kSignatureField + ": " +
           QByteArray(reinterpret_cast<const char*>(field), qsizetype(length)) + "\r\n" + message;
}

} // namespace bulk
