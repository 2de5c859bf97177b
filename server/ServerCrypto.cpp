#include "ServerCrypto.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace wh::server {
namespace {

constexpr int kIterations = 100000;
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;

struct PkeyDeleter
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Deleter
{
    void operator()(X509* p) const { X509_free(p); }
};
struct ExtDeleter
{
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
struct BioDeleter
{
    void operator()(BIO* p) const { BIO_free_all(p); }
};

std::string ToHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

std::optional<std::string> FromHex(const std::string& text)
{
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]);
        const int lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

std::string Pbkdf2(const std::string& password, const std::string& salt, int iterations)
{
    std::string out(kHashBytes, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), kHashBytes, reinterpret_cast<unsigned char*>(out.data()))
        != 1) {
        throw std::runtime_error("password hashing failed");
    }
    return out;
}

// Writes `text` to `path` through a temporary file in the same folder, so that a reader never
// sees half a file; `mode` applies from the start (the key must never be readable by others).
void WriteFileAtomically(const std::string& path, const std::string& text, mode_t mode)
{
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        throw std::runtime_error("cannot write " + temp);
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            ::close(fd);
            throw std::runtime_error("cannot write " + temp);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        throw std::runtime_error("cannot write " + temp);
    }
    std::filesystem::rename(temp, path);
}

std::string BioText(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

} // namespace

std::string HashPassword(const std::string& password)
{
    std::string salt(kSaltBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), kSaltBytes) != 1) {
        throw std::runtime_error("no random bytes for the password salt");
    }
    return "pbkdf2-sha256$" + std::to_string(kIterations) + "$" + ToHex(salt) + "$"
        + ToHex(Pbkdf2(password, salt, kIterations));
}

bool VerifyPassword(const std::string& password, const std::string& stored)
{
    const std::string prefix = "pbkdf2-sha256$";
    if (stored.rfind(prefix, 0) != 0) {
        return false;
    }
    const std::size_t a = stored.find('$', prefix.size());
    const std::size_t b = a == std::string::npos ? a : stored.find('$', a + 1);
    if (b == std::string::npos) {
        return false;
    }
    int iterations = 0;
    try {
        iterations = std::stoi(stored.substr(prefix.size(), a - prefix.size()));
    } catch (const std::exception&) {
        return false;
    }
    const auto salt = FromHex(stored.substr(a + 1, b - a - 1));
    const auto expected = FromHex(stored.substr(b + 1));
    if (iterations <= 0 || !salt || !expected || expected->size() != kHashBytes) {
        return false;
    }
    const std::string actual = Pbkdf2(password, *salt, iterations);
    return CRYPTO_memcmp(actual.data(), expected->data(), kHashBytes) == 0;
}

std::string Sha256(const std::string& bytes)
{
    std::string out(32, '\0');
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(out.data()), &length, EVP_sha256(),
                   nullptr)
        != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return out;
}

std::string CertificateKeyFingerprint(const std::string& pemCertificate)
{
    std::unique_ptr<BIO, int (*)(BIO*)> bio(
        BIO_new_mem_buf(pemCertificate.data(), static_cast<int>(pemCertificate.size())), &BIO_free);
    std::unique_ptr<X509, void (*)(X509*)> certificate(
        bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
    if (!certificate) {
        throw std::runtime_error("the certificate file holds no PEM certificate");
    }
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), &der);
    if (length <= 0) {
        throw std::runtime_error("the certificate's public key cannot be read");
    }
    const std::string digest
        = Sha256(std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length)));
    OPENSSL_free(der);
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (const char byte : digest) {
        hex.push_back(digits[static_cast<unsigned char>(byte) >> 4]);
        hex.push_back(digits[static_cast<unsigned char>(byte) & 0xf]);
    }
    return hex;
}

std::optional<std::string> DecodeBase64(const std::string& text)
{
    std::string padded = text;
    if (padded.empty()) {
        return std::string();
    }
    while (padded.size() % 4 != 0) {
        padded.push_back('=');
    }
    std::vector<unsigned char> out(padded.size() / 4 * 3 + 1);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(padded.data()),
                                  static_cast<int>(padded.size()));
    if (n < 0) {
        return std::nullopt;
    }
    // EVP_DecodeBlock counts the padding as zero bytes; take them off again.
    std::size_t length = static_cast<std::size_t>(n);
    for (std::size_t i = padded.size(); i > 0 && padded[i - 1] == '=' && length > 0; --i) {
        --length;
    }
    return std::string(reinterpret_cast<const char*>(out.data()), length);
}

void WriteSelfSignedCertificate(const std::string& certPath, const std::string& keyPath, const std::string& hosts)
{
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(EVP_EC_gen("P-256"));
    std::unique_ptr<X509, X509Deleter> cert(X509_new());
    if (!key || !cert) {
        throw std::runtime_error("cannot create a key pair for the server certificate");
    }
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM* serialNumber = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(serialNumber, X509_get_serialNumber(cert.get()));
    BN_free(serialNumber);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Warehouse Server"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);

    std::string altNames;
    std::size_t start = 0;
    while (start <= hosts.size()) {
        const std::size_t end = std::min(hosts.find(',', start), hosts.size());
        const std::string host = hosts.substr(start, end - start);
        start = end + 1;
        if (host.empty()) {
            continue;
        }
        unsigned char address[16];
        const bool isIp
            = inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
        altNames += (altNames.empty() ? "" : ",") + std::string(isIp ? "IP:" : "DNS:") + host;
    }
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : { std::pair<int, std::string> { NID_subject_alt_name, altNames },
                                      std::pair<int, std::string> { NID_basic_constraints, "critical,CA:FALSE" } }) {
        if (value.empty()) {
            continue;
        }
        std::unique_ptr<X509_EXTENSION, ExtDeleter> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
        if (!ext || X509_add_ext(cert.get(), ext.get(), -1) != 1) {
            throw std::runtime_error("cannot add the certificate extension " + value);
        }
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
        throw std::runtime_error("cannot sign the server certificate");
    }

    std::unique_ptr<BIO, BioDeleter> keyBio(BIO_new(BIO_s_mem()));
    std::unique_ptr<BIO, BioDeleter> certBio(BIO_new(BIO_s_mem()));
    if (!keyBio || !certBio
        || PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1
        || PEM_write_bio_X509(certBio.get(), cert.get()) != 1) {
        throw std::runtime_error("cannot encode the server certificate");
    }
    WriteFileAtomically(keyPath, BioText(keyBio.get()), 0600);
    WriteFileAtomically(certPath, BioText(certBio.get()), 0644);
}

} // namespace wh::server
