#pragma once

#include <string>

namespace wh::env {
class WarehouseEnv;
}

namespace wh::warehouse {

// Which servers the session talks to, from [Security] Verify= of warehouse.ini.
enum class VerifyPolicy {
    Pin, // a certificate that verifies, or the key pinned for the address (the first key is pinned)
    Ca, // a certificate that verifies, nothing else
    None // anything (for a support case); each request leaves a warning in the wire log
};

struct TrustSettings
{
    VerifyPolicy policy = VerifyPolicy::Pin;
    std::string caFile; // [Security] CAFile=: verify against this file instead of the system's store
};

// Reads [Security] Verify= (pin, ca or none, in any case) and CAFile= of warehouse.ini. A missing
// file, section or key reads as pin; any other value raises an Error that names the file.
TrustSettings ReadTrustSettings(env::WarehouseEnv& env);

// The address a pin belongs to: "https://host:port", scheme and host in lower case and the port
// always written. Empty text for an address that is not https or cannot be read.
std::string ServerAddressOf(const std::string& url);

// The pinned server keys: the file trusted-servers in the tool's local folder, one line per
// address ("ADDRESS FINGERPRINT", the SHA-256 of the server's public key as 64 hex digits).
// Lines that begin with "#" and empty lines are comments.
class TrustedServers
{
public:
    explicit TrustedServers(std::string path)
        : m_path(std::move(path))
    {
    }
    const std::string& Path() const { return m_path; }

    // The fingerprint pinned for the address, or empty text. A file that cannot be read, or a
    // line that is not an address and a fingerprint, raises a FileError naming the file: a damaged
    // file never means "trust anything".
    std::string PinFor(const std::string& address) const;

    // Pins the fingerprint for the address, replacing its line and keeping every other one. The
    // file is written beside and renamed into place, so a reader sees the old or the new file.
    void SetPin(const std::string& address, const std::string& fingerprint) const;

private:
    std::string m_path;
};

// LocalWarehouseDir/trusted-servers (the local folder is worked out when the start-up has not).
std::string TrustedServersPath(env::WarehouseEnv& env);

// A server whose key is not the pinned one.
struct ChangedServer
{
    std::string address;
    std::string pinned;
    std::string presented;
};

// What the user and the logs read about a changed server.
std::string ChangedServerMessage(const ChangedServer& server);

// The question of an interactive sign-in (and of "whupload-cli trust --accept"): Yes trusts the
// key shown now.
std::string ChangedServerQuestion(const ChangedServer& server);

} // namespace wh::warehouse
