#include "transport/lan_identity.h"

#include <QCryptographicHash>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <array>
#include <fstream>
#include <iterator>
#include <memory>

#include "model/atomic_file.h"

namespace merrowfax {
namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509_free>>;
using Bignum = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

constexpr const char* kCommonName = "Merrowfax device";
constexpr long kDay = 24 * 60 * 60;
constexpr int kValidDays = 20 * 365 + 5;  // twenty years with their leap days
// A real identity file is about 1 KiB; anything far larger is not one.
constexpr std::streamsize kMaxFileSize = 64 * 1024;

// Holds secret bytes (the private key's PEM) and wipes them when done.
struct SecretText {
    std::string text;
    SecretText() = default;
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    ~SecretText() { OPENSSL_cleanse(text.data(), text.size()); }
};

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::optional<std::string> certificatePem(X509* cert) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return std::nullopt;
    return bioText(bio.get());
}

// PKCS#8, unencrypted: the file's mode is what protects it. The secure
// memory BIO clears its buffer when freed.
bool privateKeyPem(EVP_PKEY* key, SecretText& out) {
    Bio bio(BIO_new(BIO_s_secmem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return false;
    }
    out.text = bioText(bio.get());
    return !out.text.empty();
}

// The Qt objects, from PEM that OpenSSL wrote itself rather than from the
// file's text as it was found.
std::optional<LanIdentity> toIdentity(X509* cert, EVP_PKEY* key) {
    const auto certText = certificatePem(cert);
    SecretText keyText;
    if (!certText || !privateKeyPem(key, keyText)) return std::nullopt;
    LanIdentity identity;
    identity.certificate = QSslCertificate(QByteArray::fromStdString(*certText), QSsl::Pem);
    identity.key =
        QSslKey(QByteArray::fromStdString(keyText.text), QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    if (identity.certificate.isNull() || identity.key.isNull()) return std::nullopt;
    identity.fingerprint = certificateFingerprint(identity.certificate);
    return identity;
}

bool setRandomSerial(X509* cert) {
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) return false;
    // Positive with a nonzero first byte: DER keeps all sixteen bytes.
    bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7f) | 0x40);
    Bignum serial(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
    return serial && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)) != nullptr;
}

bool fillCertificate(X509* cert, EVP_PKEY* key) {
    X509_NAME* name = X509_get_subject_name(cert);
    const auto* cn = reinterpret_cast<const unsigned char*>(kCommonName);
    // Starting a day early leaves room for a peer whose clock is behind.
    return X509_set_version(cert, X509_VERSION_3) == 1 && setRandomSerial(cert) &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, cn, -1, -1, 0) == 1 &&
           X509_set_issuer_name(cert, name) == 1 &&
           X509_gmtime_adj(X509_getm_notBefore(cert), -kDay) != nullptr &&
           X509_time_adj_ex(X509_getm_notAfter(cert), kValidDays, 0, nullptr) != nullptr &&
           X509_set_pubkey(cert, key) == 1 && X509_sign(cert, key, EVP_sha256()) > 0;
}

// A new identity's file content: the certificate, then the private key.
bool generate(SecretText& filePem) {
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    Cert cert(X509_new());
    if (!key || !cert || !fillCertificate(cert.get(), key.get())) return false;
    const auto certText = certificatePem(cert.get());
    SecretText keyText;
    if (!certText || !privateKeyPem(key.get(), keyText)) return false;
    // Appended in place: a temporary concatenation would leave an unwiped copy.
    filePem.text.reserve(certText->size() + keyText.text.size());
    filePem.text = *certText;
    filePem.text += keyText.text;
    return true;
}

std::optional<LanIdentity> readIdentity(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    SecretText text;
    text.text.resize(static_cast<std::size_t>(kMaxFileSize) + 1);
    if (!in.read(text.text.data(), kMaxFileSize + 1) && !in.eof()) return std::nullopt;
    if (in.gcount() > kMaxFileSize || in.gcount() == 0) return std::nullopt;
    Bio bio(BIO_new_mem_buf(text.text.data(), static_cast<int>(in.gcount())));
    if (!bio) return std::nullopt;
    Cert cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) return std::nullopt;
    // A callback that gives no passphrase: an encrypted key fails instead of
    // prompting on the terminal.
    Pkey key(PEM_read_bio_PrivateKey(
        bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
    // A key from another pair, or of another kind, is as bad as none.
    if (!key || !EVP_PKEY_is_a(key.get(), "EC") ||
        X509_check_private_key(cert.get(), key.get()) != 1)
        return std::nullopt;
    return toIdentity(cert.get(), key.get());
}

}  // namespace

std::string certificateFingerprint(const QSslCertificate& certificate) {
    if (certificate.isNull()) return {};
    return certificate.digest(QCryptographicHash::Sha256).toHex().toStdString();
}

std::optional<LanIdentity> loadOrCreateLanIdentity(const std::filesystem::path& file) {
    // A damaged file leaves errors in this thread's OpenSSL queue, where Qt's
    // next TLS call on the thread would take them for its own.
    struct ClearErrors {
        ~ClearErrors() { ERR_clear_error(); }
    } clearErrors;
    if (auto kept = readIdentity(file)) return kept;
    std::error_code ignored;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ignored);
    SecretText pem;
    if (!generate(pem)) return std::nullopt;
    // The temporary file is 0600 from its creation on.
    (void)replaceFileDurably(file, pem.text);
    // What is on disk counts, not what was made: a failed folder sync still
    // leaves the new file in place, and when two first starts race each
    // returns an identity that was really kept. One never written is none.
    return readIdentity(file);
}

}  // namespace merrowfax
