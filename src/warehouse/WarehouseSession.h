#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/http/HttpClient.h"
#include "warehouse/ServerTrust.h"

namespace wh {
class UserNotice;
}

namespace wh::env {
class WarehouseEnv;
}

namespace wh::warehouse {

using RequestOutcome = http::Outcome;

// The path, verb and streams of one request to the warehouse server.
struct RequestSpec
{
    std::string method = "GET";
    std::string path; // begins with "/api/"
    http::RequestBody body;
    std::string downloadPath; // empty: the answer is held in memory
    // Writes the body file once the request is really going out (after the session accepted it
    // and the wire log is open); may raise a FileError, and then nothing is sent.
    std::function<void()> prepare;

    static RequestSpec Get(std::string path) { return { "GET", std::move(path), {}, {}, {} }; }
    static RequestSpec Download(std::string path, std::string file)
    {
        return { "GET", std::move(path), {}, std::move(file), {} };
    }
    static RequestSpec Put(std::string path, http::RequestBody body)
    {
        return { "PUT", std::move(path), std::move(body), {}, {} };
    }
    static RequestSpec Post(std::string path, http::RequestBody body)
    {
        return { "POST", std::move(path), std::move(body), {}, {} };
    }
};

// What the server at the session's address shows now, beside the key pinned for it.
struct ServerIdentity
{
    std::string address; // https://host:port; empty when the server address is not https
    std::string pinned; // empty: no pin
    std::string presented; // empty: the server could not be reached (failure says why)
    bool verified = false; // the certificate verifies for the host name
    std::string failure;
};

// The one HTTPS session with the warehouse server: made at start-up, released when the main form
// closes. It carries the server base address, the credentials of the last sign-in and the text
// of the last failed request, and runs the steps that every request shares.
class WarehouseSession
{
public:
    explicit WarehouseSession(env::WarehouseEnv& env);
    ~WarehouseSession();
    WarehouseSession(const WarehouseSession&) = delete;
    WarehouseSession& operator=(const WarehouseSession&) = delete;

    // Trims blanks and control characters and drops one trailing "/" or "\".
    void SetServerBase(const std::string& address);
    const std::string& ServerBase() const { return m_serverBase; }

    void SetSessionCredentials(const std::string& user, const std::string& password);
    const std::string& UserName() const { return m_user; }

    const std::string& LastServerMessage() const { return m_lastServerMessage; }
    void SetLastServerMessage(const std::string& message) { m_lastServerMessage = message; }

    // 180 seconds by default; tests and WHUPLOAD_HTTP_TIMEOUT (seconds) shorten it.
    void SetInactivityTimeout(std::chrono::milliseconds timeout);
    // Keeps the program's event loop running while a request waits.
    void SetIdleHook(std::function<void()> hook);

    // The wire log in the user's temporary folder; a FileError when that folder is not safely
    // the user's.
    std::string WireLogPath() const;

    // True while a request waits for its answer; the session carries one request at a time.
    bool InRequest() const { return m_inRequest; }
    bool IsReleased() const { return m_released; }

    // Runs the shared request steps: wire log, address, streams, fresh connection after a pause
    // of 100 ms, the server's certificate judged by [Security] Verify= of warehouse.ini, Basic
    // authorisation, content type and length, outcome. A server that is not trusted is refused
    // during the handshake: nothing of the request is sent, the outcome is an other failure that
    // names the address and the keys, and the activity log gets it. Local files that cannot be
    // opened or written (the trusted servers file and warehouse.ini's Verify= included) raise a
    // FileError and nothing is sent. A request started while another one
    // waits, or after the session was released, is an other failure that touches no file.
    RequestOutcome Send(const RequestSpec& call);

    // Appends a heading and a message to a failure log in the claims directory's Warehouse
    // folder; a log that cannot be written raises a FileError.
    void WriteFailureLog(const std::string& fileName, const std::string& heading, const std::string& message);

    // The server the last request refused because its key is not the pinned one, if it did.
    const std::optional<ChangedServer>& LastChangedServer() const { return m_changedServer; }

    // Connects to the server address without sending anything and reports its key and the pin.
    // A damaged pin file or an unknown Verify= raise a FileError.
    ServerIdentity ProbeServer();

    // Pins the key for the address (the user chose to trust it); a FileError when the file cannot
    // be written.
    void TrustServerKey(const std::string& address, const std::string& fingerprint);

    // Closes the wire log for good and drops the client; no request may follow.
    void Release();

    env::WarehouseEnv& Env() { return m_env; }

private:
    env::WarehouseEnv& m_env;
    std::unique_ptr<http::HttpClient> m_client;
    std::string m_serverBase;
    std::string m_user;
    std::string m_password;
    std::string m_lastServerMessage;
    std::optional<ChangedServer> m_changedServer;
    bool m_inRequest = false;
    bool m_released = false;
};

// The decision of an interactive sign-in whose request was refused because the server's key is
// not the pinned one: asks the user (a warning with the address and both keys); Yes pins the key
// shown and returns true, so the sign-in can be tried again. False, without asking, when the last
// request was not refused for that reason. A pin that cannot be written raises a FileError.
bool AcceptChangedServer(WarehouseSession& session, UserNotice& notice);

// The balloon of a failed sign-in: a changed server says so and that Settings lets the user
// decide; any other failure asks to check the user name and password, with the server's message.
std::string SignInFailureBalloon(const WarehouseSession& session);

// The described entry points: the session is owned by whoever starts the program.
std::unique_ptr<WarehouseSession> CreateWarehouseSession(env::WarehouseEnv& env);
void FreeWarehouseSession(std::unique_ptr<WarehouseSession>& session);

} // namespace wh::warehouse
