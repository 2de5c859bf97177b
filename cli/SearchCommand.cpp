// whupload-cli search: the claim search window's "Find Now", with its criteria as options and its
// grid printed as a table.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
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
#include "restore/ClaimSearch.h"
#include "support/Errors.h"
#include "support/text/DateTime.h"
#include "support/text/StringUtil.h"
#include "support/text/Win1252.h"
#include "warehouse/WarehouseSession.h"

namespace wh::cli {
namespace {

struct SearchOptions
{
    std::string insured;
    std::string adjuster;
    std::string policy;
    std::string claim;
    std::string dateKind = "date_of_loss";
    std::string from; // empty: the first day of the current month
    std::string to; // empty: today
    bool company = false;
};

// A date given as YYYY-MM-DD; none when the text is not exactly that or names no day.
std::optional<text::DateTime> ParseIsoDate(const std::string& textValue)
{
    if (textValue.size() != 10 || textValue[4] != '-' || textValue[7] != '-') {
        return std::nullopt;
    }
    for (std::size_t i : { 0, 1, 2, 3, 5, 6, 8, 9 }) {
        if (textValue[i] < '0' || textValue[i] > '9') {
            return std::nullopt;
        }
    }
    const int year = std::stoi(textValue.substr(0, 4));
    const int month = std::stoi(textValue.substr(5, 2));
    const int day = std::stoi(textValue.substr(8, 2));
    if (!text::IsValidDate(year, month, day)) {
        return std::nullopt;
    }
    return text::EncodeDateTime({ year, month, day });
}

int DateKindIndex(const std::string& kind)
{
    const auto& kinds = restore::DateKindChoices();
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (kind == kinds[i].kind) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The grid's columns in the grid's order, with the server claim id in front: the CLI user needs
// it for "restore", while the window keeps it in a hidden column.
void PrintRows(const std::vector<restore::ClaimSearchRow>& rows)
{
    std::vector<std::vector<std::string>> table;
    table.push_back({ "Server Claim ID", "Adj Last Name", "Claim Number", "Insured Last Name", "Policy Number",
                      "Loss City", "Loss State", "Loss Zipcode", "Date Of Loss" });
    for (const restore::ClaimSearchRow& row : rows) {
        table.push_back({ std::to_string(row.claimUid), row.adjLastName, row.claimNumber, row.primInsLastName,
                          row.policyNumber, row.lossCity, row.lossState, row.lossZipcode,
                          row.dateOfLoss ? text::FormatShortDate(*row.dateOfLoss) : std::string() });
    }
    // Windows-1252 has one byte per character, so widths are measured before the texts become UTF-8.
    std::vector<std::size_t> widths(table.front().size(), 0);
    for (const auto& line : table) {
        for (std::size_t c = 0; c < line.size(); ++c) {
            widths[c] = std::max(widths[c], line[c].size());
        }
    }
    for (const auto& line : table) {
        std::string out;
        for (std::size_t c = 0; c < line.size(); ++c) {
            out += text::Win1252ToUtf8(line[c]);
            if (c + 1 < line.size()) {
                out += std::string(widths[c] - line[c].size() + 2, ' ');
            }
        }
        std::printf("%s\n", text::TrimRight(out).c_str());
    }
    std::fflush(stdout);
}

int RunSearch(const SearchOptions& options)
{
    TerminalUserNotice notice;
    HeadlessWorkstation workstation(notice);
    env::WarehouseEnv& environment = workstation.environment;
    if (!workstation.HasClaimsDirectory()) {
        return ExitCannotStart;
    }

    // The window's default range: the first day of the current month to today.
    const text::DateParts now = text::DecodeDateTime(workstation.clock.Now());
    const text::DateTime today = text::EncodeDateTime({ now.year, now.month, now.day });
    restore::ClaimSearchCriteria criteria;
    criteria.insuredLast = text::Utf8ToWin1252(options.insured);
    criteria.adjusterLast = text::Utf8ToWin1252(options.adjuster);
    criteria.policyNumber = text::Utf8ToWin1252(options.policy);
    criteria.claimNumber = text::Utf8ToWin1252(options.claim);
    criteria.dateKindIndex = DateKindIndex(options.dateKind);
    criteria.startDate = options.from.empty() ? restore::FirstDayOfMonth(today) : *ParseIsoDate(options.from);
    criteria.endDate = options.to.empty() ? today : *ParseIsoDate(options.to);
    criteria.scopeIndex = options.company ? 1 : 0;

    bool signedIn = false;
    try {
        auto session = PrepareHeadlessStart(environment).session;

        // What the tray's "Claim Search" does before its window opens.
        env::UserPrefs prefs(environment);
        app::UploadRunner runner(environment, prefs, *session, notice);
        if (!runner.SignInAfresh()) {
            return ExitCannotStart; // the balloon has said why
        }
        signedIn = true;

        const auto rows = restore::RunClaimSearch(*session, notice, criteria);
        warehouse::FreeWarehouseSession(session);
        if (!rows) {
            return ExitFailed;
        }
        PrintRows(*rows);
        return ExitDone;
    } catch (const Error& error) {
        std::fprintf(stderr, "Error: %s\n", text::Win1252ToUtf8(error.what()).c_str());
        return signedIn ? ExitFailed : ExitCannotStart;
    }
}

} // namespace

void AddSearchCommand(CLI::App& app, int& exitCode)
{
    CLI::App* search = app.add_subcommand(
        "search",
        "Search the warehouse for claims as the Claim Search window's \"Find Now\" does, signed in with the "
        "current user's stored settings, and print the claims found. The first column is the server claim id "
        "(hidden in the window), which \"restore\" takes. Exit 0 when the search was answered (also with no "
        "claims), 1 when it failed, 2 when the command line, the settings, the sign-in, the server or the "
        "installation stopped it");
    auto options = std::make_shared<SearchOptions>();
    search->add_option("--insured", options->insured, "Insured's last name");
    search->add_option("--adjuster", options->adjuster, "Adjuster's last name");
    search->add_option("--policy", options->policy, "Policy number");
    search->add_option("--claim", options->claim, "Claim number");
    std::vector<std::string> kinds;
    for (const auto& choice : restore::DateKindChoices()) {
        kinds.emplace_back(choice.kind);
    }
    search->add_option("--date-kind", options->dateKind, "Which claim date the range applies to")
        ->check(CLI::IsMember(kinds))
        ->capture_default_str();
    const auto isoDate = CLI::Validator(
        [](std::string& value) {
            return ParseIsoDate(value) ? std::string() : "not a date of the form YYYY-MM-DD: " + value;
        },
        "YYYY-MM-DD");
    search->add_option("--from", options->from, "First day of the range (default: first day of this month)")
        ->check(isoDate);
    search->add_option("--to", options->to, "Last day of the range (default: today)")->check(isoDate);
    search->add_flag("--company", options->company, "Search all claims of the company, not only the user's own");
    search->callback([options, &exitCode] { exitCode = RunSearch(*options); });
}

} // namespace wh::cli
