#include "warehouse/WarehouseSession.h"

#include <cstdlib>
#include <thread>

#include "env/ActivityLog.h"
#include "env/WarehouseFuncs.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"

namespace wh::warehouse {
namespace {

std::chrono::milliseconds TimeoutFromEnvironment()
{
    // A test seam: the inactivity time-out in seconds.
    const char* value = std::getenv("WHUPLOAD_HTTP_TIMEOUT");
    int seconds = 0;
    if (value && text::TryParseInt(value, seconds) && seconds > 0) {
        return std::chrono::seconds(seconds);
    }
    return std::chrono::seconds(180);
}

// Clears a flag on every way out of a request.
class InRequestGuard
{
public:
    explicit InRequestGuard(bool& flag)
        : m_flag(flag)
    {
        m_flag = true;
    }
    ~InRequestGuard() { m_flag = false; }
    InRequestGuard(const InRequestGuard&) = delete;
    InRequestGuard& operator=(const InRequestGuard&) = delete;

private:
    bool& m_flag;
};

RequestOutcome OtherFailure(const std::string& message)
{
    RequestOutcome outcome;
    outcome.kind = RequestOutcome::Kind::OtherFailure;
    outcome.message = message;
    return outcome;
}

} // namespace

WarehouseSession::WarehouseSession(env::WarehouseEnv& env)
    : m_env(env)
    , m_client(std::make_unique<http::HttpClient>())
{
    m_client->SetInactivityTimeout(TimeoutFromEnvironment());
}

WarehouseSession::~WarehouseSession() = default;

void WarehouseSession::SetServerBase(const std::string& address)
{
    std::string base = text::Trim(address);
    if (!base.empty() && (base.back() == '/' || base.back() == '\\')) {
        base.pop_back();
    }
    m_serverBase = base;
}

void WarehouseSession::SetSessionCredentials(const std::string& user, const std::string& password)
{
    m_user = user;
    m_password = password;
}

void WarehouseSession::SetInactivityTimeout(std::chrono::milliseconds timeout)
{
    if (m_client) {
        m_client->SetInactivityTimeout(timeout);
    }
}

void WarehouseSession::SetIdleHook(std::function<void()> hook)
{
    if (m_client) {
        m_client->SetIdleHook(std::move(hook));
    }
}

std::string WarehouseSession::WireLogPath() const
{
    return platform::JoinPath(env::GetShortPath(platform::TempDir()), "Korvan_Warehouse_Log.txt");
}

RequestOutcome WarehouseSession::Send(const RequestSpec& call)
{
    if (m_released || !m_client) {
        return OtherFailure("The warehouse session has been closed.");
    }
    if (m_inRequest) {
        return OtherFailure("Another request to the warehouse server is still in progress.");
    }
    InRequestGuard guard(m_inRequest);
    // Looked up for every request: the temporary folder is checked to be the user's each time.
    m_client->SetWireLogPath(WireLogPath());
    http::Request request;
    request.method = call.method;
    request.url = m_serverBase + call.path;
    request.user = m_user;
    request.password = m_password;
    request.body = call.body;
    request.downloadPath = call.downloadPath;
    request.beforeSend = call.prepare;
    // Each request connects anew after a short pause, as the server expects of this tool.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return m_client->Perform(request);
}

void WarehouseSession::WriteFailureLog(const std::string& fileName, const std::string& heading,
                                       const std::string& message)
{
    const std::string path = platform::ResolveNoCase(m_env.WarehouseDir(), fileName);
    env::AppendFailureLog(path, heading, message, m_env.Clock());
}

void WarehouseSession::Release()
{
    m_client.reset();
    m_released = true;
}

std::unique_ptr<WarehouseSession> CreateWarehouseSession(env::WarehouseEnv& env)
{
    return std::make_unique<WarehouseSession>(env);
}

void FreeWarehouseSession(std::unique_ptr<WarehouseSession>& session)
{
    if (session) {
        session->Release();
    }
}

} // namespace wh::warehouse
