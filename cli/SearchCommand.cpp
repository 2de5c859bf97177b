// whupload-cli search: the claim search window's "Find Now", with its criteria as options and its
// grid printed as a table, or as CSV or JSON for scripts.
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
#include "support/json/Json.h"
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
    std::string format = "table";
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
// it for "restore", while the window keeps it in a hidden column. `key` names the column in CSV
// and JSON, where scripts read it; `title` heads it in the table people read.
struct Column
{
    const char* key;
    const char* title;
};
constexpr Column kColumns[] = {
    { "serverClaimId", "Server Claim ID" }, { "adjLastName", "Adj Last Name" },
    { "claimNumber", "Claim Number" },      { "insuredLastName", "Insured Last Name" },
    { "policyNumber", "Policy Number" },    { "lossCity", "Loss City" },
    { "lossState", "Loss State" },          { "lossZipcode", "Loss Zipcode" },
    { "dateOfLoss", "Date Of Loss" },
};
constexpr std::size_t kDateColumn = 8;

// One row's cells in the column order, as the tool's Windows-1252 texts; the date of loss as
// `date` formats it (empty when the server gave none).
template <typename DateFormat> std::vector<std::string> Cells(const restore::ClaimSearchRow& row, DateFormat date)
{
    return { std::to_string(row.claimUid),
             row.adjLastName,
             row.claimNumber,
             row.primInsLastName,
             row.policyNumber,
             row.lossCity,
             row.lossState,
             row.lossZipcode,
             row.dateOfLoss ? date(*row.dateOfLoss) : std::string() };
}

void PrintTable(const std::vector<restore::ClaimSearchRow>& rows)
{
    std::vector<std::vector<std::string>> table;
    table.emplace_back();
    for (const Column& column : kColumns) {
        table.front().emplace_back(column.title);
    }
    for (const restore::ClaimSearchRow& row : rows) {
        table.push_back(Cells(row, [](text::DateTime date) { return text::FormatShortDate(date); }));
        // A line break or tab in a field would tear the row apart; the table shows it as a blank.
        for (std::string& cell : table.back()) {
            std::replace_if(
                cell.begin(), cell.end(), [](char c) { return c == '\r' || c == '\n' || c == '\t'; }, ' ');
        }
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
}

// A CSV field: quoted when it holds a comma, a quote or a line break, with its quotes doubled.
std::string CsvField(const std::string& utf8)
{
    if (utf8.find_first_of(",\"\r\n") == std::string::npos) {
        return utf8;
    }
    std::string out = "\"";
    for (const char c : utf8) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

// RFC 4180 CSV with LF line ends: the column keys, then one line per claim; dates as YYYY-MM-DD.
void PrintCsv(const std::vector<restore::ClaimSearchRow>& rows)
{
    std::string out;
    for (const Column& column : kColumns) {
        out += (out.empty() ? "" : ",") + CsvField(column.key);
    }
    out += '\n';
    for (const restore::ClaimSearchRow& row : rows) {
        const std::vector<std::string> cells = Cells(row, text::FormatIsoDate);
        for (std::size_t c = 0; c < cells.size(); ++c) {
            out += (c == 0 ? "" : ",") + CsvField(text::Win1252ToUtf8(cells[c]));
        }
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
}

// One JSON array of objects keyed by the column keys: the server claim id a number, the date of
// loss YYYY-MM-DD or null, every other member a string.
void PrintJson(const std::vector<restore::ClaimSearchRow>& rows)
{
    json::Value array = json::Value::array();
    for (const restore::ClaimSearchRow& row : rows) {
        const std::vector<std::string> cells = Cells(row, text::FormatIsoDate);
        json::Value object = json::Value::object();
        object[kColumns[0].key] = row.claimUid;
        for (std::size_t c = 1; c < cells.size(); ++c) {
            if (c == kDateColumn && !row.dateOfLoss) {
                object[kColumns[c].key] = nullptr;
            } else {
                object[kColumns[c].key] = text::Win1252ToUtf8(cells[c]);
            }
        }
        array.push_back(std::move(object));
    }
    // The texts come from Windows-1252, so they are valid UTF-8; should one ever not be, its bad
    // bytes become U+FFFD rather than the output breaking off.
    const std::string out = array.dump(2, ' ', false, json::Value::error_handler_t::replace) + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
}

void PrintRows(const std::vector<restore::ClaimSearchRow>& rows, const std::string& format)
{
    if (format == "csv") {
        PrintCsv(rows);
    } else if (format == "json") {
        PrintJson(rows);
    } else {
        PrintTable(rows);
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
        PrintRows(*rows, options.format);
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
    search
        ->add_option("--format", options->format,
                     "table: aligned columns for people; csv: RFC 4180 with a header line of column keys "
                     "(serverClaimId, adjLastName, claimNumber, insuredLastName, policyNumber, lossCity, lossState, "
                     "lossZipcode, dateOfLoss), LF line ends; json: one array of objects with those keys. CSV and "
                     "JSON give the date of loss as YYYY-MM-DD; output is UTF-8")
        ->check(CLI::IsMember({ "table", "csv", "json" }))
        ->capture_default_str();
    search->callback([options, &exitCode] { exitCode = RunSearch(*options); });
}

} // namespace wh::cli
