// whupload-cli trust: the key the server shows beside the one this account trusts for it, and
// the deliberate replacement of that pin.
#include <cstdio>
#include <memory>
#include <string>

#include "Commands.h"
#include "ExitCodes.h"
#include "HeadlessStart.h"
#include "TerminalUserNotice.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "warehouse/ServerTrust.h"
#include "warehouse/WarehouseSession.h"

namespace wh::cli {
namespace {

int ShowOrAcceptTrust(bool accept, bool yes)
{
    TerminalUserNotice notice;
    HeadlessWorkstation workstation(notice);
    env::WarehouseEnv& environment = workstation.environment;
    if (!workstation.HasClaimsDirectory()) {
        return ExitCannotStart;
    }
    bool reached = false;
    try {
        std::unique_ptr<warehouse::WarehouseSession> session = PrepareHeadlessStart(environment).session;
        const warehouse::ServerIdentity identity = session->ProbeServer();
        if (identity.address.empty()) {
            std::fprintf(stderr, "Error: %s\n", identity.failure.c_str());
            return ExitCannotStart;
        }
        std::printf("Server:        %s\n", identity.address.c_str());
        std::printf("Trusted key:   %s\n", identity.pinned.empty() ? "(none)" : identity.pinned.c_str());
        std::printf("Key shown now: %s%s\n", identity.presented.empty() ? "(none)" : identity.presented.c_str(),
                    identity.verified ? " (the certificate verifies: no pin is needed)" : "");
        std::printf("(SHA-256 of the server's public key, as 64 hex digits; pins in %s)\n",
                    warehouse::TrustedServersPath(environment).c_str());
        std::fflush(stdout);
        if (identity.presented.empty()) {
            std::fprintf(stderr, "Error: the server could not be reached: %s\n", identity.failure.c_str());
            return ExitCannotStart;
        }
        reached = true;
        if (!accept) {
            return ExitDone;
        }
        if (identity.presented == identity.pinned) {
            std::printf("The key shown now is already the trusted one.\n");
            return ExitDone;
        }
        const warehouse::ChangedServer changed { identity.address, identity.pinned, identity.presented };
        if (!yes && !notice.AskYesNo(warehouse::ChangedServerQuestion(changed))) {
            std::printf("The trusted key stays as it was.\n");
            return ExitFailed;
        }
        session->TrustServerKey(identity.address, identity.presented);
        std::printf("The key %s is now trusted for %s.\n", identity.presented.c_str(), identity.address.c_str());
        return ExitDone;
    } catch (const Error& error) {
        std::fprintf(stderr, "Error: %s\n", error.what());
        return reached ? ExitFailed : ExitCannotStart;
    }
}

} // namespace

void AddTrustCommand(CLI::App& app, int& exitCode)
{
    CLI::App* trust = app.add_subcommand("trust",
                                         "Show the server's address, the key trusted for it and the key it shows "
                                         "now; with --accept, trust the key shown now. Exit 0 when done (also "
                                         "when the key shown is already trusted), 1 when --accept was answered No "
                                         "or the key could not be stored, 2 when the command line, the settings, "
                                         "the installation or an unreachable server stopped it");
    auto accept = std::make_shared<bool>(false);
    auto yes = std::make_shared<bool>(false);
    trust->add_flag("--accept", *accept, "Replace the trusted key by the one the server shows now, after asking");
    trust->add_flag("--yes", *yes, "Answer the question of --accept with Yes");
    trust->callback([accept, yes, &exitCode] { exitCode = ShowOrAcceptTrust(*accept, *yes); });
}

} // namespace wh::cli
