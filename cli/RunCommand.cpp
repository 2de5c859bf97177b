// whupload-cli run: one upload run exactly as the tray tool's timer starts it.
#include <cstdio>
#include <memory>
#include <string>

#include "Commands.h"
#include "ExitCodes.h"
#include "HeadlessStart.h"
#include "TerminalUserNotice.h"
#include "app/UploadRun.h"
#include "env/EnginePaths.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/platform/Paths.h"
#include "support/text/DateTime.h"
#include "support/text/StringUtil.h"
#include "support/text/Win1252.h"
#include "warehouse/WarehouseSession.h"

namespace wh::cli {
namespace {

void PrintProgress(const upload::ClaimProgress& progress)
{
    const auto index = static_cast<long long>(progress.index);
    const auto total = static_cast<long long>(progress.total);
    const std::string claim = text::Win1252ToUtf8(progress.claimNumber);
    if (progress.step == upload::ClaimProgress::Step::NotStored) {
        std::printf("[%lld/%lld] claim %s not stored: %s\n", index, total, claim.c_str(),
                    text::Win1252ToUtf8(progress.reason).c_str());
    } else {
        const char* what = progress.step == upload::ClaimProgress::Step::Uploading ? "uploading" : "examining";
        std::printf("[%lld/%lld] %s claim %s\n", index, total, what, claim.c_str());
    }
    std::fflush(stdout);
}

int RunUploadOnce(bool debug)
{
    TerminalUserNotice notice;
    HeadlessWorkstation workstation(notice);
    env::WarehouseEnv& environment = workstation.environment;
    if (!workstation.HasClaimsDirectory()) {
        return ExitCannotStart;
    }

    std::unique_ptr<warehouse::WarehouseSession> session;
    try {
        session = PrepareHeadlessStart(environment).session;
    } catch (const Error& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return ExitCannotStart;
    }
    if (!platform::FileExists(platform::ResolveNoCase(environment.TempArcsDir(), "Arcs.DB"))) {
        notice.ShowBalloon("Warehouse Upload Tool is not installed properly.");
        return ExitCannotStart;
    }

    env::UserPrefs prefs(environment);
    app::UploadRunner runner(environment, prefs, *session, notice);
    runner.DebugMode = debug;
    runner.Progress = PrintProgress;
    const app::RunResult result = runner.RunScheduledUpload();
    warehouse::FreeWarehouseSession(session);
    switch (result) {
    case app::RunResult::Completed:
        if (!runner.ClaimsNotStored.empty()) {
            std::string claims;
            for (const std::string& claim : runner.ClaimsNotStored) {
                claims += (claims.empty() ? "" : ", ") + text::Win1252ToUtf8(claim);
            }
            std::printf("Not stored on the server, to be tried again by the next run: %s\n", claims.c_str());
            return ExitNotAllStored;
        }
        return ExitDone;
    case app::RunResult::SettingsIncomplete:
    case app::RunResult::SignInFailed:
        return ExitCannotStart;
    case app::RunResult::ClaimListFailed:
    case app::RunResult::Failed:
    case app::RunResult::Stopped:
        break;
    }
    return ExitFailed;
}

} // namespace

void AddRunCommand(CLI::App& app, int& exitCode)
{
    CLI::App* run = app.add_subcommand("run",
                                       "One upload run as the tray tool's timer starts it; exit 0 when it "
                                       "completed, 1 when the claim list or the run failed, 2 when the command "
                                       "line, the settings, the sign-in, the server or the installation stopped "
                                       "it, 3 when it "
                                       "completed but the server did not store every claim it was to");
    auto debug = std::make_shared<bool>(false);
    run->add_flag("--debug", *debug, "Write ClaimList.txt and ProcessFileList.txt, as the DEBUG switch does");
    run->callback([debug, &exitCode] { exitCode = RunUploadOnce(*debug); });
}

} // namespace wh::cli
