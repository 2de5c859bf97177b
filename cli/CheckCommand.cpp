// whupload-cli check: what a support person needs to see of an installation.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "ExitCodes.h"
#include "TerminalUserNotice.h"
#include "app/UploadRun.h"
#include "env/EnginePaths.h"
#include "env/IniFile.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/platform/Paths.h"
#include "support/text/Clock.h"
#include "support/text/StringUtil.h"
#include "support/text/Win1252.h"
#include "warehouse/WarehouseSession.h"

namespace wh::cli {
namespace {

void Line(const std::string& label, const std::string& value)
{
    std::printf("%-22s %s\n", (label + ":").c_str(), value.c_str());
}

std::string Presence(const std::string& path)
{
    if (platform::DirectoryExists(path)) {
        return path + " (folder)";
    }
    if (platform::FileExists(path)) {
        return path;
    }
    return path + " (missing)";
}

// The sign-in an upload run would make, with the current user's stored settings: the identity
// the server gives, or why there is none.
void SignInWithStoredSettings(env::WarehouseEnv& environment, warehouse::WarehouseSession& session, UserNotice& notice)
{
    env::UserPrefs prefs(environment);
    app::UploadRunner runner(environment, prefs, session, notice);
    bool complete = false;
    try {
        complete = runner.ReadWarehouseSettings();
    } catch (const FileError& error) {
        Line("Warehouse user", error.what());
        Line("Sign-in", "not tried: the warehouse settings cannot be read");
        return;
    }
    Line("Warehouse user",
         environment.CurrentUserName() + ": " + runner.AuthUserName
             + (runner.AuthPassword.empty() ? " (no password)" : " (password set)"));
    if (!complete) {
        Line("Sign-in", "not tried: the warehouse user name, password or company is not set");
        return;
    }
    session.SetSessionCredentials(runner.AuthUserName, runner.AuthPassword);
    runner.FetchSignInIdentity();
    const upload::SignInIdentity& id = runner.Identity;
    if (id.ServerUserID == -1) {
        Line("Sign-in", "FAILED: " + text::Win1252ToUtf8(session.LastServerMessage()));
        return;
    }
    Line("Sign-in",
         "company " + std::to_string(id.CompanyID) + ", region " + std::to_string(id.RegionID) + ", office "
             + std::to_string(id.OfficeID) + ", department " + std::to_string(id.DepartmentID) + ", user "
             + std::to_string(id.ServerUserID));
}

int RunCheck()
{
    TerminalUserNotice notice;
    text::SystemClock clock;
    env::WarehouseEnv environment(notice, clock, [] {});
    bool installed = true;

    Line("Program folder", platform::ProgramDir());
    const std::string aliasPath = environment.AliasFilePath();
    const bool aliasFound = platform::FileExists(aliasPath);
    Line("DBAlias.ini", aliasFound ? aliasPath + " (found)" : aliasPath + " (not found)");
    if (!aliasFound) {
        std::printf("Installation check:    FAILED (no DBAlias.ini beside the program)\n");
        return ExitFailed;
    }
    const std::string claimsDir = environment.GetClaimsDir();
    Line("Claims directory", claimsDir.empty() ? "(no KVXClaimsDB line in DBAlias.ini)" : Presence(claimsDir));
    if (claimsDir.empty() || !platform::DirectoryExists(claimsDir)) {
        installed = false;
    }

    std::string serverBase;
    Line("warehouse.ini", Presence(environment.WarehouseIniPath()));
    try {
        serverBase = text::Trim(environment.ReadWarehouseIniValue("WServer"));
        Line("  WServer", serverBase.empty() ? "(empty)" : serverBase);
        env::IniFile ini;
        ini.Load(environment.WarehouseIniPath());
        Line("  Interval", std::to_string(ini.ReadInteger("Check", "Interval", 900000)) + " ms");
    } catch (const Error& e) {
        Line("  WServer", std::string("(cannot be read: ") + e.what() + ")");
        installed = false;
    }

    const env::EngineFolders engine = env::SetEnginePaths(environment);
    environment.PrepareLocalFolders();
    Line("Local folder", Presence(environment.LocalWarehouseDir()));
    Line("  Upload", Presence(environment.UploadDir()));
    Line("  TempArcs", Presence(environment.TempArcsDir()));
    Line("Engine private folder", Presence(engine.privateDir));
    Line("Current user", environment.CurrentUserName() + " (" + std::to_string(environment.CurrentUserID()) + ")");
    Line("Activity log", Presence(environment.ActivityLogPath()));

    const std::string arcs = platform::ResolveNoCase(environment.TempArcsDir(), "Arcs.DB");
    const bool arcsPresent = platform::FileExists(arcs);
    installed = installed && arcsPresent;
    Line("Installation check", installed ? "passed" : arcsPresent ? "FAILED" : "FAILED (no " + arcs + ")");

    if (!serverBase.empty()) {
        warehouse::WarehouseSession session(environment);
        session.SetServerBase(serverBase);
        session.SetInactivityTimeout(std::chrono::seconds(15)); // a check should not hang for minutes
        try {
            const warehouse::RequestOutcome outcome = session.Send(warehouse::RequestSpec::Get("/api/status"));
            std::string text;
            switch (outcome.kind) {
            case warehouse::RequestOutcome::Kind::Success:
                text = "answers (status " + std::to_string(outcome.status) + ")";
                break;
            case warehouse::RequestOutcome::Kind::HttpFailure:
                text = "HTTP failure " + std::to_string(outcome.failureCode) + ": " + outcome.failureText;
                break;
            case warehouse::RequestOutcome::Kind::OtherFailure:
                text = "other failure: " + outcome.message;
                break;
            }
            Line("Server " + session.ServerBase() + "/api/status", text);
            SignInWithStoredSettings(environment, session, notice);
        } catch (const Error& e) {
            Line("Server", std::string("not asked: ") + e.what());
        }
    }
    return installed ? ExitDone : ExitFailed;
}

} // namespace

void AddCheckCommand(CLI::App& app, int& exitCode)
{
    // Finding the installation broken is this command's answer, not a reason it could not start:
    // so it is 1 here; the server and the sign-in are shown, they do not change the code.
    CLI::App* check = app.add_subcommand("check",
                                         "Show the installation as the tool sees it, the server's answer and the "
                                         "sign-in with the stored settings; exit 0 when it is installed properly, "
                                         "1 when it is not, 2 when the command line is wrong");
    check->callback([&exitCode] { exitCode = RunCheck(); });
}

} // namespace wh::cli
