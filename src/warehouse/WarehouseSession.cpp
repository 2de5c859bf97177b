#include "warehouse/WarehouseSession.h"

#include <cstdlib>
#include <thread>

#include "env/ActivityLog.h"
#include "env/UserNotice.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
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

// Sets the request's certificate check as the policy says. Under pin, a key first seen for an
// address is pinned during the handshake, before anything is sent; `changed` receives a server
// whose key differs from its pin. A pin file that cannot be read raises here, before sending.
void SetTrust(http::Request& request, const TrustSettings& settings, const std::string& address,
              const std::string& pinPath, std::optional<ChangedServer>& changed)
{
    if (address.empty()) {
        return; // plain http (warned by the client) or no address at all
    }
    switch (settings.policy) {
    case VerifyPolicy::None:
        request.trust.mode = http::ServerTrust::Mode::AcceptAny;
        request.wireWarning = "certificate checks are off ([Security] Verify=none): the identity of the server at "
            + address + " is not checked";
        return;
    case VerifyPolicy::Ca:
        request.trust.mode = http::ServerTrust::Mode::Verify;
        request.trust.caFile = settings.caFile;
        request.trust.judgeUnverified = [address](const std::string& key, const std::string& error) {
            return "The certificate of the server at " + address + " does not verify (" + error
                + "), and only verified servers are trusted ([Security] Verify=ca). Its key is " + key
                + " (SHA-256 of the public key). Nothing was sent.";
        };
        return;
    case VerifyPolicy::Pin:
        break;
    }
    const TrustedServers pins(pinPath);
    const std::string pinned = pins.PinFor(address);
    request.trust.mode = http::ServerTrust::Mode::Verify;
    request.trust.caFile = settings.caFile;
    request.trust.judgeUnverified
        = [pins, pinned, address, &changed](const std::string& key, const std::string&) -> std::string {
        if (key.empty()) {
            return "The key of the server at " + address + " could not be read. Nothing was sent.";
        }
        if (pinned.empty()) {
            try {
                pins.SetPin(address, key); // trust on first use
            } catch (const std::exception& e) {
                return std::string(e.what()) + " The server at " + address + " was not trusted. Nothing was sent.";
            }
            return {};
        }
        if (key == pinned) {
            return {};
        }
        changed = ChangedServer { address, pinned, key };
        return ChangedServerMessage(*changed);
    };
}

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
    m_changedServer.reset();
    SetTrust(request, ReadTrustSettings(m_env), ServerAddressOf(request.url), TrustedServersPath(m_env),
             m_changedServer);
    // Each request connects anew after a short pause, as the server expects of this tool.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    RequestOutcome outcome = m_client->Perform(request);
    if (outcome.serverRefused) {
        env::ActivityLog log(m_env);
        log.WriteStamped("WHT Server refused: " + outcome.message);
    }
    return outcome;
}

ServerIdentity WarehouseSession::ProbeServer()
{
    ServerIdentity identity;
    if (m_released || !m_client) {
        identity.failure = "The warehouse session has been closed.";
        return identity;
    }
    if (m_inRequest) {
        identity.failure = "Another request to the warehouse server is still in progress.";
        return identity;
    }
    InRequestGuard guard(m_inRequest);
    const TrustSettings settings = ReadTrustSettings(m_env);
    identity.address = ServerAddressOf(m_serverBase + "/");
    if (identity.address.empty()) {
        identity.failure = "The server address \"" + m_serverBase + "\" is not an https address.";
        return identity;
    }
    identity.pinned = TrustedServers(TrustedServersPath(m_env)).PinFor(identity.address);
    m_client->SetWireLogPath(WireLogPath());
    http::Request request;
    request.url = m_serverBase + "/";
    request.handshakeOnly = true;
    request.trust.mode = http::ServerTrust::Mode::Verify;
    request.trust.caFile = settings.caFile;
    // Only looked at: the connection ends in the handshake whatever the key.
    request.trust.judgeUnverified = [](const std::string&, const std::string&) {
        return std::string("Only the server's key was looked at; nothing was sent.");
    };
    const RequestOutcome outcome = m_client->Perform(request);
    identity.presented = outcome.serverKey;
    identity.verified = outcome.serverVerified;
    if (identity.presented.empty()) {
        identity.failure = outcome.FailureMessage();
    }
    return identity;
}

void WarehouseSession::TrustServerKey(const std::string& address, const std::string& fingerprint)
{
    TrustedServers(TrustedServersPath(m_env)).SetPin(address, fingerprint);
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

bool AcceptChangedServer(WarehouseSession& session, UserNotice& notice)
{
    if (!session.LastChangedServer()) {
        return false;
    }
    const ChangedServer changed = *session.LastChangedServer();
    if (!notice.AskYesNo(ChangedServerQuestion(changed))) {
        return false;
    }
    session.TrustServerKey(changed.address, changed.presented);
    env::ActivityLog(session.Env())
        .WriteStamped("WHT Server key accepted by the user: " + changed.address + " " + changed.presented);
    return true;
}

std::string SignInFailureBalloon(const WarehouseSession& session)
{
    if (session.LastChangedServer()) {
        return "The identity of the warehouse server " + session.LastChangedServer()->address
            + " has changed, so nothing was sent to it. Open Settings to decide whether to trust it.";
    }
    return "Authentication Error: Please check username and password.\r\n" + session.LastServerMessage();
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
