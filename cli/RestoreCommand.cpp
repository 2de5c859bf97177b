// whupload-cli restore: downloads claims by server id and restores them into the claims directory,
// through the same download as the claim search window's double click.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "Commands.h"
#include "ExitCodes.h"
#include "HeadlessStart.h"
#include "TerminalUserNotice.h"
#include "app/UploadRun.h"
#include "env/ActivityLog.h"
#include "env/EnginePaths.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "restore/ClaimDownload.h"
#include "support/Errors.h"
#include "support/json/Json.h"
#include "support/platform/Paths.h"
#include "support/text/DateTime.h"
#include "support/text/StringUtil.h"
#include "support/text/Win1252.h"
#include "warehouse/WarehouseSession.h"
#include "warehouse/WarehouseTrans.h"

namespace wh::cli {
namespace {

// The terminal notice, keeping count of what calls for the user's attention: every message box of
// the download is a failure of some claim, and a question nobody could answer is no decision.
class RestoreNotice : public TerminalUserNotice
{
public:
    explicit RestoreNotice(bool answerYes)
        : m_answerYes(answerYes)
    {
    }

    void ShowMessage(MessageKind kind, const std::string& text) override
    {
        ++messagesShown;
        TerminalUserNotice::ShowMessage(kind, text);
    }

    bool AskYesNo(const std::string& text) override
    {
        if (m_answerYes) {
            std::fprintf(stderr, "%s\n(--yes: Yes)\n", text::Win1252ToUtf8(StripCarriageReturns(text)).c_str());
            return true;
        }
        if (!::isatty(STDIN_FILENO)) {
            ++questionsUnanswered;
        }
        return TerminalUserNotice::AskYesNo(text);
    }

    int messagesShown = 0;
    int questionsUnanswered = 0;

private:
    static std::string StripCarriageReturns(const std::string& text)
    {
        std::string out;
        for (const char c : text) {
            if (c != '\r') {
                out.push_back(c);
            }
        }
        return out;
    }

    bool m_answerYes;
};

// The claim and policy numbers the dialogs name, from the claim's summary document; empty when
// the document cannot be read (the download then reports that itself).
restore::DownloadRow RowFor(warehouse::WarehouseSession& session, std::int32_t serverId)
{
    restore::DownloadRow row;
    row.claimUid = serverId;
    const std::optional<json::Value> document
        = json::Parse(warehouse::GetClaimJSONData(session, std::to_string(serverId)));
    if (document && document->is_object()) {
        row.claimNumber = json::MemberText(*document, "claimnumber");
        row.policyNumber = json::MemberText(*document, "policynumber");
    }
    return row;
}

int RestoreClaims(const std::vector<std::int32_t>& serverIds, bool answerYes)
{
    RestoreNotice notice(answerYes);
    HeadlessWorkstation workstation(notice);
    env::WarehouseEnv& environment = workstation.environment;
    if (!workstation.HasClaimsDirectory(true)) {
        return ExitCannotStart;
    }
    const std::string claimsDir = environment.GetClaimsDir();

    // The tray tool's start-up preparation, then the sign-in its Claim Search command makes.
    HeadlessStart start;
    try {
        start = PrepareHeadlessStart(environment);
    } catch (const Error& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return ExitCannotStart;
    }
    const env::EngineFolders& engine = start.engine;
    auto& session = start.session;
    env::UserPrefs prefs(environment);
    app::UploadRunner runner(environment, prefs, *session, notice);
    try {
        if (!runner.LoadWarehouseSettings()) {
            std::fprintf(stderr, "Error: the warehouse user name, password or company is not set for %s.\n",
                         text::Win1252ToUtf8(environment.CurrentUserName()).c_str());
            return ExitCannotStart;
        }
        env::ActivityLog log(environment);
        runner.SignIn(log);
    } catch (const Error& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return ExitCannotStart;
    }
    if (runner.Identity.ServerUserID == -1) {
        return ExitCannotStart; // SignIn has shown why
    }

    std::vector<restore::DownloadRow> rows;
    try {
        for (const std::int32_t id : serverIds) {
            rows.push_back(RowFor(*session, id));
        }
    } catch (const Error& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return ExitFailed;
    }

    restore::DownloadContext context { environment, *session, engine.privateDir, [](const std::string& status) {
                                          const std::string shown = text::Trim(status);
                                          if (!shown.empty()) {
                                              std::printf("%s\n", text::Win1252ToUtf8(shown).c_str());
                                              std::fflush(stdout);
                                          }
                                      } };
    notice.messagesShown = 0;
    restore::DownloadClaims(context, rows);
    warehouse::FreeWarehouseSession(session);
    return notice.messagesShown == 0 && notice.questionsUnanswered == 0 ? ExitDone : ExitFailed;
}

} // namespace

void AddRestoreCommand(CLI::App& app, int& exitCode)
{
    CLI::App* restore = app.add_subcommand("restore",
                                           "Download claims by server id and restore them into the claims "
                                           "directory, asking as the claim search window does; exit 0 when every "
                                           "claim was restored or deliberately skipped, 1 when some claim was not, "
                                           "2 when the command line, the settings, the sign-in, the server or the "
                                           "installation stopped it");
    auto ids = std::make_shared<std::vector<std::int32_t>>();
    auto yes = std::make_shared<bool>(false);
    restore->add_option("SERVERID", *ids, "Server claim ids")->required()->check(CLI::PositiveNumber);
    restore->add_flag("--yes", *yes, "Answer Yes to every question");
    restore->callback([ids, yes, &exitCode] { exitCode = RestoreClaims(*ids, *yes); });
}

} // namespace wh::cli
