#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace wh::http {

// What a request sends: nothing, text held in memory, or a file streamed while sending.
struct RequestBody
{
    enum class Kind { None, Memory, File };
    Kind kind = Kind::None;
    std::string text; // Kind::Memory
    std::string filePath; // Kind::File

    static RequestBody Empty() { return {}; }
    static RequestBody FromText(std::string text) { return { Kind::Memory, std::move(text), {} }; }
    static RequestBody FromFile(std::string path) { return { Kind::File, {}, std::move(path) }; }
};

// How the server's certificate is judged during the TLS handshake, before any byte of the request
// is sent.
struct ServerTrust
{
    enum class Mode {
        AcceptAny, // no check at all
        Verify // the certificate must verify for the host name, or be accepted by judgeUnverified
    };
    Mode mode = Mode::AcceptAny;
    std::string caFile; // Verify: the certificates to verify against; empty: the system's trust store
    // Verify: called when the certificate does not verify, with the SHA-256 of its public key
    // (KeyFingerprint's form) and the verification's own reason; returns empty text to accept the
    // server, else the reason it is refused. Without it an unverified server is refused.
    std::function<std::string(const std::string& keyFingerprint, const std::string& verifyError)> judgeUnverified;
};

struct Request
{
    std::string method = "GET"; // GET, POST, PUT, DELETE
    std::string url;
    std::string user; // Basic authorisation only when user and password are both non-empty
    std::string password;
    std::string contentType = "application/json"; // sent with POST and PUT
    RequestBody body;
    std::string downloadPath; // when set, the answer's body goes to this file instead of memory
    // Runs once the wire log is open and before the body file is opened: a body that is written
    // for the request is only written when the request is really going out. May raise.
    std::function<void()> beforeSend;
    ServerTrust trust;
    // Only connects (TLS handshake included) and sends nothing: to see which key a server shows.
    bool handshakeOnly = false;
    // A line the wire log gets at the start of the request, as a warning.
    std::string wireWarning;
};

// How a transfer ended. A success is any answer below 400, and 401 and 407; an HTTP failure is
// another status of 400 or more (code: the status, text: its reason phrase), a transfer that
// breaks or cannot be made, or the inactivity time-out; everything else is an other failure.
struct Outcome
{
    enum class Kind { Success, HttpFailure, OtherFailure };
    Kind kind = Kind::OtherFailure;
    long status = 0;
    std::string reason; // the reason phrase of the answer's status line
    std::string body; // the answer's bytes, unless they went to a file
    int failureCode = 0; // HTTP failure: the status or the client's own error number
    std::string failureText; // HTTP failure: the reason phrase or the client's description
    std::string message; // other failure: what went wrong
    // https only, once the server showed its certificate: the SHA-256 of its public key, and
    // whether the certificate verified for the host name.
    std::string serverKey;
    bool serverVerified = false;
    // The server was refused during the handshake (an other failure whose message says why);
    // nothing of the request was sent.
    bool serverRefused = false;

    bool IsSuccess() const { return kind == Kind::Success; }
    // The failure as the tool writes it: code, CR LF, text; an other failure's message alone.
    std::string FailureMessage() const;
};

inline constexpr const char* kTimeoutText = "Request aborted on timeout";
inline constexpr int kTimeoutCode = 28; // the client's own number for an operation timed out

// The SHA-256 of a certificate's public key (its DER SubjectPublicKeyInfo) as 64 lower-case hex
// digits: what `openssl x509 -pubkey -noout | openssl pkey -pubin -outform der | sha256sum` prints.
std::string KeyFingerprintOfPem(const std::string& pemCertificate);

// A synchronous HTTPS client over libcurl. Each request uses a fresh connection, judges the
// server's certificate as the request's trust says (TLS 1.0 or better, the best both sides know),
// and keeps the caller's event loop alive through the idle hook while it waits. Only https and http addresses
// are followed: anything else (file://, ftp://, ...) is a transfer that cannot be made.
class HttpClient
{
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // The request ends as an HTTP failure after this long without any bytes moving.
    void SetInactivityTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    std::chrono::milliseconds InactivityTimeout() const { return m_timeout; }

    // Called every few tens of milliseconds while a request waits.
    void SetIdleHook(std::function<void()> hook) { m_idleHook = std::move(hook); }

    // The wire log: time-stamped information and error lines of the connection, never data.
    // Opened (appending) for each request and closed at its end. Empty: no wire log.
    void SetWireLogPath(std::string path) { m_wireLogPath = std::move(path); }
    const std::string& WireLogPath() const { return m_wireLogPath; }

    // Runs one request to its end. Local files that the request needs (the wire log, a body file,
    // the download file) are opened first: when one cannot be, a FileError is raised and nothing
    // is sent.
    Outcome Perform(const Request& request);

private:
    std::chrono::milliseconds m_timeout { std::chrono::seconds(180) };
    std::function<void()> m_idleHook;
    std::string m_wireLogPath;
};

} // namespace wh::http
