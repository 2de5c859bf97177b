#pragma once

#include <optional>
#include <string>
#include <vector>

#include "env/UserNotice.h"
#include "support/json/Json.h"
#include "upload/ClaimLockOut.h"
#include "upload/UploadClaim.h"

namespace wh::env {
class ActivityLog;
class UserPrefs;
class WarehouseEnv;
} // namespace wh::env
namespace wh::warehouse {
class WarehouseSession;
}

namespace wh::app {

// How an upload run ended.
enum class RunResult {
    Completed, // signed in, claim list received, every claim walked
    SettingsIncomplete, // no run: the user, password or company setting is missing
    SignInFailed,
    ClaimListFailed,
    Failed, // an unexpected error ended the run
    Stopped, // the tool is closing: the walk ended before its next claim
};

// A server answer shown to the user: the "msg" of a JSON refusal, else the trimmed text cut to one
// line's worth, so a long page does not fill the balloon.
std::string AnswerForMessage(const std::string& answer);

// The identity in a sign-in answer; none unless it is a JSON object with the five whole numbers.
std::optional<upload::SignInIdentity> ReadSignInIdentity(const std::string& answer);

// The main form's upload state and the upload run itself, without timers or windows: the tray
// tool's main form owns one and drives it from its timers and menu, and the headless tool runs
// it alone, so both make exactly the same run.
class UploadRunner
{
public:
    UploadRunner(env::WarehouseEnv& env, env::UserPrefs& prefs, warehouse::WarehouseSession& session,
                 UserNotice& notice);

    bool DebugMode = false;
    bool UploadAll = false;
    std::string AuthUserName;
    std::string AuthPassword;
    std::string CompanyName;
    upload::SignInIdentity Identity;
    bool SignedInOnce = false;
    std::optional<json::Value> ServerClaimList; // only during a run
    // The claim numbers that the last completed run was to upload but the server did not store.
    std::vector<std::string> ClaimsNotStored;
    // Told about every claim examined and uploaded.
    std::function<void(const upload::ClaimProgress&)> Progress;

    // Reads the current user's warehouse settings into AuthUserName, AuthPassword, CompanyName and
    // UploadAll; true when the user name, the password and the company are all set. A UserP.ini
    // that is there but cannot be read raises a FileError naming it and the reason.
    bool ReadWarehouseSettings();
    // Reads the current user's warehouse settings and logs them (the password masked); true when
    // the user name, the password and the company are all set. Raises as ReadWarehouseSettings.
    bool LoadWarehouseSettings();
    // Clears the staging folder, gives the credentials to the session and asks the server who the
    // user is, logging each step into `log`; a failed sign-in shows its balloon. An interactive
    // sign-in (`askAboutChangedServer`) asks whether to trust a server whose key changed, and on
    // Yes signs in again; a run started by a timer never asks.
    void SignIn(env::ActivityLog& log, bool askAboutChangedServer = false);
    // Sets Identity (ServerUserID -1 for a refusal or an answer that names no user) and
    // SignedInOnce.
    void FetchSignInIdentity();
    // One upload run: sign-in, claim list, the walk over the claims, the tray and the balloons,
    // and the staging files removed at the end whatever happened. Errors are passed on.
    RunResult RunUpload();

    // What a timer firing does between stopping and restarting its timer: the settings load, then
    // the run or the settings balloon. An unexpected error ends the run with a log line and an
    // attention balloon naming it, instead of escaping to the event loop.
    RunResult RunScheduledUpload();

    void SetTrayAttention();

    // False, with the attention state and a balloon naming the file and the reason, when UserP.ini
    // is there but cannot be read; it then keeps no snapshot, so the next command reads it again.
    bool SettingsReadable();

    // What every command that opens a window does first: the settings, then a fresh sign-in.
    // False when the settings are incomplete or unreadable (the attention state and a balloon say
    // so) or the sign-in was refused (SignIn has shown why).
    bool SignInAfresh();

    // Asks a run in progress to end before its next claim (the tool is closing); the claim in
    // hand is finished first. Cleared when the next run starts.
    void RequestStop() { m_stopRequested = true; }

private:
    void SetTrayIdle();

    env::WarehouseEnv& m_env;
    env::UserPrefs& m_prefs;
    warehouse::WarehouseSession& m_session;
    UserNotice& m_notice;
    upload::ClaimLockOut m_lockOut;
    bool m_stopRequested = false;
};

} // namespace wh::app
