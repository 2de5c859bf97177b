#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "support/http/HttpClient.h"

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
    // of 100 ms, Basic authorisation, content type and length, outcome. Local files that cannot be
    // opened or written raise a FileError and nothing is sent. A request started while another one
    // waits, or after the session was released, is an other failure that touches no file.
    RequestOutcome Send(const RequestSpec& call);

    // Appends a heading and a message to a failure log in the claims directory's Warehouse
    // folder; a log that cannot be written raises a FileError.
    void WriteFailureLog(const std::string& fileName, const std::string& heading, const std::string& message);

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
    bool m_inRequest = false;
    bool m_released = false;
};

// The described entry points: the session is owned by whoever starts the program.
std::unique_ptr<WarehouseSession> CreateWarehouseSession(env::WarehouseEnv& env);
void FreeWarehouseSession(std::unique_ptr<WarehouseSession>& session);

} // namespace wh::warehouse
