#include "app/UploadRun.h"

#include <cstdio>
#include <memory>

#include "env/ActivityLog.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/text/StringUtil.h"
#include "upload/ProcessClaims.h"
#include "warehouse/WarehouseTrans.h"

namespace wh::app {
namespace {

constexpr const char* kHint = "Warehouse Upload Tool";

std::string UploadAllLine(bool uploadAll)
{
    return uploadAll ? "WHT upload all claims = True" : "WHT upload all claims = False";
}

} // namespace

std::string AnswerForMessage(const std::string& answer)
{
    // A refusal's "msg" when it says something; else the answer's own text.
    std::string shown;
    if (const auto parsed = json::Parse(answer); parsed && parsed->is_object() && parsed->contains("msg")) {
        shown = text::Trim(json::MemberText(*parsed, "msg"));
    }
    if (shown.empty()) {
        shown = text::Trim(answer);
    }
    if (shown.size() > 200) {
        shown = shown.substr(0, 200) + "...";
    }
    return shown.empty() ? std::string("The server sent an empty answer.") : shown;
}

namespace {

// The documents and archives of a run, and the half-written archive that a build cut short by
// the end of the process leaves beside them.
void DeleteStagingFiles(const std::string& folder)
{
    env::DeleteFilesByMask(folder, "*.json");
    env::DeleteFilesByMask(folder, "*.kvz");
    env::DeleteFilesByMask(folder, "*.kvz.*");
}

// Removes the staging files of a run on every way out of it.
class StagingCleanup
{
public:
    explicit StagingCleanup(const std::string& folder)
        : m_folder(folder)
    {
    }
    ~StagingCleanup() { DeleteStagingFiles(m_folder); }
    StagingCleanup(const StagingCleanup&) = delete;
    StagingCleanup& operator=(const StagingCleanup&) = delete;

private:
    std::string m_folder;
};

} // namespace

UploadRunner::UploadRunner(env::WarehouseEnv& env, env::UserPrefs& prefs, warehouse::WarehouseSession& session,
                           UserNotice& notice)
    : m_env(env)
    , m_prefs(prefs)
    , m_session(session)
    , m_notice(notice)
{
}

bool UploadRunner::SettingsReadable()
{
    try {
        m_prefs.ReadStoredUserPref(env::kPrefWCompany);
        return true;
    } catch (const FileError& error) {
        // UserP.ini is there but unreadable: its settings are unknown, not missing, so the user
        // is told which file and why instead of being sent to fill them in again.
        SetTrayAttention();
        m_notice.ShowBalloon(error.what());
        return false;
    }
}

bool UploadRunner::SignInAfresh()
{
    if (!SettingsReadable()) {
        return false;
    }
    if (!LoadWarehouseSettings()) {
        SetTrayAttention();
        m_notice.ShowBalloon("Please setup your Warehouse settings in Korvan preferences.");
        return false;
    }
    {
        env::ActivityLog log(m_env);
        SignIn(log, true);
    }
    return Identity.ServerUserID != -1;
}

void UploadRunner::SetTrayAttention()
{
    m_notice.SetTrayState(TrayState::Attention, kHint);
}

void UploadRunner::SetTrayIdle()
{
    m_notice.SetTrayState(TrayState::Idle, kHint);
}

bool UploadRunner::ReadWarehouseSettings()
{
    // The first read takes the snapshot, and tells an unreadable file from a missing one.
    const std::string company = m_prefs.ReadStoredUserPref(env::kPrefWCompany);
    const std::string name = text::Trim(m_prefs.ReadUserPref(env::kPrefWName));
    AuthUserName = text::TrimRight(company) + "/" + name;
    AuthPassword = text::Trim(m_prefs.ReadPassword());
    CompanyName = text::Trim(company);
    UploadAll = env::IsUploadAllValue(m_prefs.ReadUserPref(env::kPrefWHUploadAll));
    return !name.empty() && !AuthPassword.empty() && !CompanyName.empty();
}

bool UploadRunner::LoadWarehouseSettings()
{
    env::ActivityLog log(m_env);
    const bool complete = ReadWarehouseSettings();
    const std::string server = text::Trim(m_env.ReadWarehouseIniValue("WServer"));
    log.WriteLine("~~~~~WHT INI INFORMATION ");
    log.WriteLine("~~~~~WHT INI INFORMATION Username :" + AuthUserName);
    // The activity log is read by whoever supports the workstation: the password stays out of it.
    log.WriteLine("~~~~~WHT INI INFORMATION Password :" + std::string(AuthPassword.empty() ? "" : "********"));
    log.WriteLine("~~~~~WHT INI INFORMATION URL      :" + server + "/api/status");
    return complete;
}

void UploadRunner::SignIn(env::ActivityLog& log, bool askAboutChangedServer)
{
    DeleteStagingFiles(m_env.UploadDir());
    log.WriteStamped(UploadAllLine(UploadAll));
    m_session.SetSessionCredentials(AuthUserName, AuthPassword);
    log.WriteStamped("WHT Authentication Setting Complete");
    FetchSignInIdentity();
    if (askAboutChangedServer && warehouse::AcceptChangedServer(m_session, m_notice)) {
        FetchSignInIdentity();
    }
    log.WriteStamped("WHT CRODE " + std::to_string(Identity.CompanyID) + " " + std::to_string(Identity.RegionID) + " "
                     + std::to_string(Identity.OfficeID) + " " + std::to_string(Identity.DepartmentID) + " "
                     + std::to_string(Identity.ServerUserID));
    if (Identity.ServerUserID == -1) {
        m_notice.ShowBalloon(warehouse::SignInFailureBalloon(m_session));
        SetTrayAttention();
    }
}

std::optional<upload::SignInIdentity> ReadSignInIdentity(const std::string& answer)
{
    // Only an object with all five numbers names a user; a refusal body in JSON does not.
    const auto parsed = json::Parse(answer);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    const auto company = warehouse::GetJSONInteger(*parsed, "companyid");
    const auto region = warehouse::GetJSONInteger(*parsed, "regionid");
    const auto office = warehouse::GetJSONInteger(*parsed, "officeid");
    const auto department = warehouse::GetJSONInteger(*parsed, "departmentid");
    const auto user = warehouse::GetJSONInteger(*parsed, "id");
    if (!company || !region || !office || !department || !user) {
        return std::nullopt;
    }
    return upload::SignInIdentity { *company, *region, *office, *department, *user };
}

void UploadRunner::FetchSignInIdentity()
{
    const std::string response = warehouse::Authenticate(m_session);
    Identity = upload::SignInIdentity {};
    if (response == "400" || response == "500") {
        return;
    }
    if (const auto identity = ReadSignInIdentity(response)) {
        Identity = *identity;
        SignedInOnce = true;
        return;
    }
    // The balloon shows the server's reason, not the text of some earlier failure.
    m_session.SetLastServerMessage(AnswerForMessage(response));
}

RunResult UploadRunner::RunUpload()
{
    ClaimsNotStored.clear();
    StagingCleanup cleanup(m_env.UploadDir());
    {
        env::ActivityLog log(m_env);
        log.WriteStamped(UploadAllLine(UploadAll));
        SignIn(log);
        log.WriteStamped("WHT Authentication Setting Complete");
        log.WriteStamped("WHT CRODE " + std::to_string(Identity.CompanyID) + " " + std::to_string(Identity.RegionID)
                         + " " + std::to_string(Identity.OfficeID) + " " + std::to_string(Identity.DepartmentID) + " "
                         + std::to_string(Identity.ServerUserID));
    }
    if (Identity.ServerUserID == -1) {
        return RunResult::SignInFailed;
    }

    const std::string response = warehouse::GetClaimList(m_session);
    if (DebugMode) {
        env::WriteFileOrRaise(m_env.ClaimsPath("Warehouse/ClaimList.txt"), response + "\r\n");
    }
    std::optional<json::Value> list;
    if (response != "400" && response != "500") {
        list = json::Parse(response);
        if (!list || !list->is_array()) {
            list.reset();
            m_session.SetLastServerMessage("The server's claim list is not a list: " + AnswerForMessage(response));
        }
    }
    if (!list) {
        m_notice.ShowBalloon(m_session.LastServerMessage());
        SetTrayAttention();
        return RunResult::ClaimListFailed;
    }

    env::ActivityLog(m_env).WriteStamped("WHT Claim List received");
    ServerClaimList = std::move(list);
    struct DiscardList
    {
        std::optional<json::Value>& list;
        ~DiscardList() { list.reset(); }
    } discard { ServerClaimList };

    m_notice.ShowBalloon(UploadAll ? "All claims are currently uploading." : "Closed claims are currently uploading.");
    m_notice.SetTrayState(TrayState::Uploading, "Uploading Claims...");
    upload::UploadRunContext context(m_env, m_session, m_notice);
    context.Identity = Identity;
    context.SignedInOnce = SignedInOnce;
    context.UploadAll = UploadAll;
    context.DebugMode = DebugMode;
    context.Progress = Progress;
    context.StopRequested = &m_stopRequested;
    upload::ProcessClaims(context, upload::ServerClaimIndex(*ServerClaimList), m_lockOut);
    ClaimsNotStored = std::move(context.ClaimsNotStored);
    m_notice.ShowBalloon(UploadAll ? "All claims current on Warehouse." : "All closed claims current on Warehouse.");
    SetTrayIdle();
    env::ActivityLog(m_env).WriteStamped("~~~~~WHT claims upload complete");
    return RunResult::Completed;
}

RunResult UploadRunner::RunScheduledUpload()
{
    m_stopRequested = false;
    try {
        if (!LoadWarehouseSettings()) {
            SetTrayAttention();
            m_notice.ShowBalloon("Please setup your Warehouse settings in Korvan preferences.");
            return RunResult::SettingsIncomplete;
        }
        return RunUpload();
    } catch (const upload::RunStopped& stop) {
        // The tool is closing: the log says where the run ended, the user needs no balloon.
        ServerClaimList.reset();
        try {
            env::ActivityLog(m_env).WriteStamped(std::string("WHT upload run stopped: ") + stop.what());
        } catch (const std::exception&) {
        }
        return RunResult::Stopped;
    } catch (const std::exception& error) {
        ServerClaimList.reset();
        try {
            env::ActivityLog(m_env).WriteStamped(std::string("WHT upload run stopped: ") + error.what());
        } catch (const std::exception&) {
            // The log itself may be what failed; the balloon still tells the user.
        }
        SetTrayAttention();
        m_notice.ShowBalloon(std::string("The upload run stopped: ") + error.what());
        return RunResult::Failed;
    }
}

} // namespace wh::app
