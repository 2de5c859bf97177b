// whupload-cli aux: the Auxiliary Files window's list, Get and Put, one kind per call.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "ExitCodes.h"
#include "HeadlessStart.h"
#include "TerminalUserNotice.h"
#include "app/UploadRun.h"
#include "auxfiles/AuxArchive.h"
#include "auxfiles/AuxTransfer.h"
#include "env/ActivityLog.h"
#include "env/EnginePaths.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/text/DateTime.h"
#include "support/text/StringUtil.h"
#include "support/text/Win1252.h"
#include "warehouse/WarehouseSession.h"
#include "warehouse/WarehouseTrans.h"

namespace wh::cli {
namespace {

enum class AuxAction { List, Get, Put };

void PrintLine(const std::string& text)
{
    std::printf("%s\n", text::Win1252ToUtf8(text).c_str());
    std::fflush(stdout);
}

void PrintError(const std::string& text)
{
    std::fprintf(stderr, "Error: %s\n", text::Win1252ToUtf8(text).c_str());
}

// The server's list as the window shows it: each known kind with its date as MM/DD/YYYY, in the
// window's row order.
int ListAux(warehouse::WarehouseSession& session)
{
    const std::string list = warehouse::AuxGetList(session);
    if (list.empty() && !session.LastServerMessage().empty()) {
        PrintError("Error Retrieving Auxiliary File List\r\nServer Response : " + session.LastServerMessage());
        return ExitFailed;
    }
    std::string problem;
    const auto dates = auxfiles::ParseAuxList(list, &problem);
    if (!dates) {
        PrintError(problem);
        return ExitFailed;
    }
    for (const auto& [number, date] : *dates) {
        const auxfiles::AuxKind& kind = auxfiles::AuxKindByNumber(number);
        PrintLine(std::string(kind.code) + "  " + date + "  " + kind.rowCaption);
    }
    return ExitDone;
}

int GetAux(env::WarehouseEnv& environment, warehouse::WarehouseSession& session, UserNotice& notice,
           const auxfiles::AuxKind& kind)
{
    std::string detail;
    if (!auxfiles::GetAuxKind(environment, session, notice, kind, &detail)) {
        if (!detail.empty()) {
            PrintError(detail);
        }
        return ExitFailed;
    }
    PrintLine(std::string(kind.statusWord) + " retrieved into " + environment.GetClaimsDir());
    return ExitDone;
}

int PutAux(env::WarehouseEnv& environment, warehouse::WarehouseSession& session, UserNotice& notice,
           const auxfiles::AuxKind& kind)
{
    if (!auxfiles::PutAuxKind(environment, session, notice, kind)) {
        return ExitFailed;
    }
    PrintLine(std::string(kind.statusWord) + " stored on the server, " + auxfiles::kPutDatePrefix
              + auxfiles::TodayShortDate(environment));
    return ExitDone;
}

int RunAux(AuxAction action, const std::string& code)
{
    TerminalUserNotice notice;
    HeadlessWorkstation workstation(notice);
    env::WarehouseEnv& environment = workstation.environment;
    if (!workstation.HasClaimsDirectory()) {
        return ExitCannotStart;
    }
    bool signedIn = false;
    try {
        auto session = PrepareHeadlessStart(environment).session;

        // What the tray's "Auxiliary Files" does before its window opens.
        env::UserPrefs prefs(environment);
        app::UploadRunner runner(environment, prefs, *session, notice);
        if (!runner.SignInAfresh()) {
            return ExitCannotStart; // the balloon has said why
        }
        signedIn = true;

        int outcome = ExitFailed;
        switch (action) {
        case AuxAction::List:
            outcome = ListAux(*session);
            break;
        case AuxAction::Get:
            outcome = GetAux(environment, *session, notice, *auxfiles::FindAuxKind(code));
            break;
        case AuxAction::Put:
            outcome = PutAux(environment, *session, notice, *auxfiles::FindAuxKind(code));
            break;
        }
        warehouse::FreeWarehouseSession(session);
        return outcome;
    } catch (const Error& error) {
        PrintError(error.what());
        return signedIn ? ExitFailed : ExitCannotStart;
    }
}

} // namespace

void AddAuxCommand(CLI::App& app, int& exitCode)
{
    CLI::App* aux = app.add_subcommand(
        "aux",
        "List, get or put the shared reference databases (auxiliary files) as the Auxiliary Files window does, "
        "signed in with the current user's stored settings. Exit 0 on success, 1 when the transfer was refused "
        "or failed, 2 when the command line, the settings, the sign-in, the server or the installation stopped "
        "it");
    aux->require_subcommand(1);
    std::vector<std::string> codes;
    for (const auxfiles::AuxKind& kind : auxfiles::AuxKinds()) {
        codes.emplace_back(kind.code);
    }
    auto code = std::make_shared<std::string>();

    CLI::App* list = aux->add_subcommand("list", "Print the kinds the server holds, with their dates (MM/DD/YYYY)");
    list->callback([&exitCode] { exitCode = RunAux(AuxAction::List, {}); });

    CLI::App* get = aux->add_subcommand(
        "get", "Fetch the kind's archive from the server and unpack it into the claims directory");
    get->add_option("CODE", *code, "Kind code")->required()->check(CLI::IsMember(codes));
    get->callback([code, &exitCode] { exitCode = RunAux(AuxAction::Get, *code); });

    CLI::App* put = aux->add_subcommand("put", "Pack the kind's tables and store them on the server");
    put->add_option("CODE", *code, "Kind code")->required()->check(CLI::IsMember(codes));
    put->callback([code, &exitCode] { exitCode = RunAux(AuxAction::Put, *code); });
}

} // namespace wh::cli
