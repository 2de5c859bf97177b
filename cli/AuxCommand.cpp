// whupload-cli aux: the Auxiliary Files window's list, Get and Put, one kind per call.
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "TerminalUserNotice.h"
#include "app/UploadRun.h"
#include "auxfiles/AuxArchive.h"
#include "env/ActivityLog.h"
#include "env/EnginePaths.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/text/Clock.h"
#include "support/text/DateTime.h"
#include "support/text/StringUtil.h"
#include "support/text/Win1252.h"
#include "warehouse/WarehouseSession.h"
#include "warehouse/WarehouseTrans.h"

namespace wh::cli {
namespace {

constexpr int kAuxDone = 0;
constexpr int kAuxFailed = 1; // refused, not built, not extracted, or the transfer failed
constexpr int kAuxRefused = 2; // settings incomplete, sign-in failed, or an error before the transfer

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

// The transfer file goes whether the transfer worked or not; a file that will not go is left.
void RemoveTransferFile(const std::string& path)
{
    std::remove(path.c_str());
}

// The server's list as the window shows it: each known kind with its date as MM/DD/YYYY, in the
// window's row order; a later entry of a kind wins.
int ListAux(warehouse::WarehouseSession& session)
{
    const std::string list = warehouse::AuxGetList(session);
    if (list.empty() && !session.LastServerMessage().empty()) {
        PrintError("Error Retrieving Auxiliary File List\r\nServer Response : " + session.LastServerMessage());
        return kAuxFailed;
    }
    std::map<int, std::string> dates;
    const auto parsed = nlohmann::ordered_json::parse(list, nullptr, false);
    if (!parsed.is_array()) {
        PrintError("The server's list of auxiliary files is no JSON list: " + list);
        return kAuxFailed;
    }
    for (const auto& element : parsed) {
        if (!element.is_object() || !element.contains("type") || !element["type"].is_string()
            || !element.contains("date_modified") || !element["date_modified"].is_string()) {
            PrintError("The server's list of auxiliary files holds an entry without a type or date: " + element.dump());
            return kAuxFailed;
        }
        const std::string date = element["date_modified"].get<std::string>();
        if (date.size() < 10) {
            PrintError("The server's list of auxiliary files holds a date that is no YYYY-MM-DD: " + date);
            return kAuxFailed;
        }
        if (const auxfiles::AuxKind* kind = auxfiles::FindAuxKind(element["type"].get<std::string>())) {
            dates[kind->number] = date.substr(5, 2) + "/" + date.substr(8, 2) + "/" + date.substr(0, 4);
        }
    }
    for (const auto& [number, date] : dates) {
        const auxfiles::AuxKind& kind = auxfiles::AuxKindByNumber(number);
        PrintLine(std::string(kind.code) + "  " + date + "  " + kind.rowCaption);
    }
    return kAuxDone;
}

// The Get button: fetch, unpack, and tell the product to look again (the marker is written
// whatever came of the transfer, as the window does).
int GetAux(env::WarehouseEnv& environment, warehouse::WarehouseSession& session, UserNotice& notice,
           const auxfiles::AuxKind& kind)
{
    const std::string path = environment.LocalWarehouseDir() + "/" + kind.getFile;
    int outcome = kAuxFailed;
    try {
        const std::string result = warehouse::AuxGetFile(session, path, kind.code);
        if (result != "ok") {
            notice.ShowMessage(MessageKind::Information,
                               "Error Retrieving Auxiliary File\r\nServer Response : " + session.LastServerMessage());
        } else {
            std::string reason;
            const int extracted = auxfiles::ExtractAuxArchive(environment, kind.number, path, &reason);
            if (extracted == 0) {
                PrintLine(std::string(kind.statusWord) + " retrieved into " + environment.GetClaimsDir());
                outcome = kAuxDone;
            } else if (!reason.empty()) {
                PrintError(reason);
            }
        }
    } catch (const Error& error) {
        PrintError(error.what());
    }
    RemoveTransferFile(path);
    try {
        env::WriteFileOrRaise(environment.ClaimsPath("Updates/force.txt"), std::string());
    } catch (const Error& error) {
        PrintError(error.what());
        outcome = kAuxFailed;
    }
    return outcome;
}

// The "msg" member of a refusal, or the failure's own text when the answer is no such object.
std::string RefusalText(const std::string& result, const warehouse::WarehouseSession& session)
{
    const auto parsed = nlohmann::ordered_json::parse(result, nullptr, false);
    if (parsed.is_object() && parsed.contains("msg") && parsed["msg"].is_string()) {
        return text::Utf8ToWin1252(parsed["msg"].get<std::string>());
    }
    return result.empty() ? session.LastServerMessage() : result;
}

// The Put button: pack and send.
int PutAux(env::WarehouseEnv& environment, warehouse::WarehouseSession& session, UserNotice& notice,
           const auxfiles::AuxKind& kind)
{
    const std::string path = environment.LocalWarehouseDir() + "/" + kind.putFile;
    int outcome = kAuxFailed;
    try {
        const int built = auxfiles::BuildAuxArchive(environment, kind.number, path);
        if (built == 0) {
            const std::string result = warehouse::AuxPutFile(session, path, kind.code);
            if (result == "ok") {
                const text::DateParts now = text::DecodeDateTime(environment.Clock().Now());
                PrintLine(std::string(kind.statusWord) + " stored on the server, Updated : "
                          + text::FormatShortDate(text::EncodeDateTime({ now.year, now.month, now.day })));
                outcome = kAuxDone;
            } else {
                notice.ShowMessage(MessageKind::Information,
                                   "Error Saving Auxiliary File\r\nServer Response : " + RefusalText(result, session));
            }
        } else if (built == 1) {
            notice.ShowMessage(MessageKind::Information,
                               std::string("Unable to build ") + kind.statusWord + " File for Transfer");
        }
    } catch (const Error& error) {
        PrintError(error.what());
    }
    RemoveTransferFile(path);
    return outcome;
}

int RunAux(AuxAction action, const std::string& code)
{
    TerminalUserNotice notice;
    text::SystemClock clock;
    bool endRequested = false;
    env::WarehouseEnv environment(notice, clock, [&endRequested] { endRequested = true; });
    if (environment.GetClaimsDir().empty()) {
        if (!endRequested) {
            PrintError("DBAlias.ini (" + environment.AliasFilePath()
                       + ") names no claims directory (no KVXClaimsDB line).");
        }
        return kAuxRefused;
    }
    try {
        // The same preparation as the tray tool's start-up, without the launch line and the timers.
        env::SetEnginePaths(environment);
        auto session = warehouse::CreateWarehouseSession(environment);
        environment.PrepareLocalFolders();
        text::SetProcessDateConventions(text::StartupDateConventions());
        session->SetServerBase(text::Trim(environment.ReadWarehouseIniValue("WServer")));

        // What the tray's "Auxiliary Files" does before its window opens.
        env::UserPrefs prefs(environment);
        app::UploadRunner runner(environment, prefs, *session, notice);
        if (!runner.LoadWarehouseSettings()) {
            notice.ShowBalloon("Please setup your Warehouse settings in Korvan preferences.");
            return kAuxRefused;
        }
        {
            env::ActivityLog log(environment);
            runner.SignIn(log);
        }
        if (runner.Identity.ServerUserID == -1) {
            return kAuxRefused; // SignIn has shown why
        }

        int outcome = kAuxFailed;
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
        return kAuxRefused;
    }
}

} // namespace

void AddAuxCommand(CLI::App& app, int& exitCode)
{
    CLI::App* aux = app.add_subcommand(
        "aux",
        "List, get or put the shared reference databases (auxiliary files) as the Auxiliary Files window does, "
        "signed in with the current user's stored settings. Exit 0 on success, 1 when the transfer was refused "
        "or failed, 2 when the settings, the sign-in or the installation stopped it");
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
