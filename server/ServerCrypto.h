#pragma once

#include <optional>
#include <string>

namespace wh::server {

// The stored form of a password: PBKDF2-HMAC-SHA256 over a fresh random salt, written as
// "pbkdf2-sha256$ITERATIONS$SALTHEX$HASHHEX" so that the iteration count can grow later.
std::string HashPassword(const std::string& password);
bool VerifyPassword(const std::string& password, const std::string& stored);

// SHA-256 of the bytes, as 32 raw bytes.
std::string Sha256(const std::string& bytes);

// Decodes standard base64 (with or without padding); nothing when the text is not base64.
std::optional<std::string> DecodeBase64(const std::string& text);

// Writes a fresh self-signed certificate and its private key (PEM) for the names `hosts`
// (comma-separated DNS names or IP addresses). The key file is readable by its owner only.
void WriteSelfSignedCertificate(const std::string& certPath, const std::string& keyPath, const std::string& hosts);

// The SHA-256 of the certificate's public key (DER SubjectPublicKeyInfo) as 64 lower-case hex
// digits, as `openssl x509 -pubkey -noout | openssl pkey -pubin -outform der | sha256sum` prints
// it and as the workstation tool shows it. Raises when the text holds no PEM certificate.
std::string CertificateKeyFingerprint(const std::string& pemCertificate);

} // namespace wh::server
