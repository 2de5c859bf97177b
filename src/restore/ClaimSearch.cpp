#include "restore/ClaimSearch.h"

#include <cmath>
#include <string_view>

#include "env/UserNotice.h"
#include "env/WarehouseFuncs.h"
#include "support/json/Json.h"
#include "support/text/StringUtil.h"
#include "warehouse/WarehouseSession.h"
#include "warehouse/WarehouseTrans.h"

namespace wh::restore {
namespace {

// The server never sends more than this many results; a larger "total" is announced first.
constexpr std::int64_t kShownResults = 50;

// Widths of the result table's text fields: longer texts are cut when stored.
constexpr std::size_t kAdjLastNameWidth = 40;
constexpr std::size_t kClaimNumberWidth = 40;
constexpr std::size_t kPrimInsLastNameWidth = 20;
constexpr std::size_t kPolicyNumberWidth = 40;
constexpr std::size_t kLossCityWidth = 40;
constexpr std::size_t kLossStateWidth = 2;
constexpr std::size_t kLossZipcodeWidth = 10;

std::string IsoDate(text::DateTime date)
{
    return text::FormatDateTime("yyyy-mm-dd", date, text::CurrentDateConventions());
}

// A member of one result as the result table stores it: a string as it stands, a number in plain
// decimal form; missing, null, lists and objects leave the field empty.
std::string ResultField(const json::Value& result, std::string_view member, std::size_t width)
{
    const auto it = result.find(std::string(member));
    if (it == result.end() || it->is_null() || it->is_object() || it->is_array()) {
        return {};
    }
    return json::MemberText(result, member).substr(0, width);
}

// "date_of_loss" read by position as yyyy-mm-dd and parsed as a short date; anything that does
// not make a valid date leaves the date empty without a word, as a blank date would.
std::optional<text::DateTime> ResultDate(const json::Value& result, int currentYear)
{
    const std::string dateText = json::MemberText(result, "date_of_loss");
    if (dateText.empty()) {
        return std::nullopt;
    }
    return text::ParseShortDate(ReformatDate(dateText, "yyyy-mm-dd"), currentYear);
}

// "total" as an integer, rounded; 0 when it is missing or holds no number.
std::int64_t ResultTotal(const json::Value& answer)
{
    const auto it = answer.find("total");
    if (it != answer.end() && it->is_number_float()) {
        const double total = it->get<double>();
        return std::isfinite(total) && std::fabs(total) < 9.0e18 ? std::llround(total) : 0;
    }
    return json::MemberInteger(answer, "total").value_or(0);
}

void ShowFailedSearch(UserNotice& notice, const std::string& returned)
{
    notice.ShowMessage(MessageKind::Information, "Error processing search query.\r\nServer Response " + returned);
}

} // namespace

const std::vector<DateKindChoice>& DateKindChoices()
{
    static const std::vector<DateKindChoice> choices {
        { "Date of Loss", "date_of_loss" },
        { "Date Received", "date_received" },
        { "Date Assigned", "date_assigned" },
        { "Date Inspected", "date_inspected" },
        { "Date Closed", "date_closed" },
        { "Date 1st Uploaded", "date_first_uploaded" },
        { "Date Last Uploaded", "date_last_uploaded" },
    };
    return choices;
}

std::string BuildSearchQuery(const ClaimSearchCriteria& criteria)
{
    // text::LowerCase lowers A to Z only: the server compares the other letters as typed.
    json::ObjectBuilder dateRange;
    const auto& kinds = DateKindChoices();
    if (criteria.dateKindIndex >= 0 && static_cast<std::size_t>(criteria.dateKindIndex) < kinds.size()) {
        dateRange.AddText("field", kinds[static_cast<std::size_t>(criteria.dateKindIndex)].kind);
    }
    dateRange.AddText("start_date", IsoDate(criteria.startDate));
    dateRange.AddText("end_date", IsoDate(criteria.endDate));

    json::ObjectBuilder option;
    if (criteria.scopeIndex == 0) {
        option.AddText("search_scope", "user");
    } else if (criteria.scopeIndex == 1) {
        option.AddText("search_scope", "company");
    }

    json::ObjectBuilder query;
    query.AddText("insured_lastname", text::LowerCase(criteria.insuredLast))
        .AddText("adjuster_lastname", text::LowerCase(criteria.adjusterLast))
        .AddText("policy_num", text::LowerCase(criteria.policyNumber))
        .AddText("claim_num", text::LowerCase(criteria.claimNumber))
        .AddObject("date_range", dateRange)
        .AddObject("option", option);
    return query.Text();
}

std::optional<std::vector<ClaimSearchRow>> RunClaimSearch(warehouse::WarehouseSession& session, UserNotice& notice,
                                                          const ClaimSearchCriteria& criteria)
{
    const std::string returned = warehouse::SearchClaims(session, BuildSearchQuery(criteria));
    return ReadSearchAnswer(returned, text::DecodeDateTime(session.Env().Clock().Now()).year, notice);
}

std::optional<std::vector<ClaimSearchRow>> ReadSearchAnswer(const std::string& returned, int currentYear,
                                                            UserNotice& notice)
{
    const std::optional<json::Value> answer = json::Parse(returned);
    if (!answer || !answer->is_object()) {
        ShowFailedSearch(notice, returned);
        return std::nullopt;
    }
    // A "results" that is there but no list is an answer we cannot read: better the server's
    // text in front of the user than an empty list that looks like "nothing found".
    const auto results = answer->find("results");
    const bool hasResults = results != answer->end() && !results->is_null();
    if (hasResults && !results->is_array()) {
        ShowFailedSearch(notice, returned);
        return std::nullopt;
    }

    const std::int64_t total = ResultTotal(*answer);
    if (total > kShownResults) {
        notice.ShowMessage(MessageKind::Information,
                           "Your search request produced a result with \r\nmore than " + std::to_string(total)
                               + " records.\r\n\r\nOnly the first 50 will be displayed");
    }

    std::vector<ClaimSearchRow> rows;
    if (hasResults) {
        rows.reserve(results->size());
        for (const json::Value& result : *results) {
            // An element that is no object, or has no whole-number "id", names no claim that could
            // be downloaded: it is left out rather than listed under a made-up id.
            const std::optional<std::int32_t> id = warehouse::GetJSONInteger(result, "id");
            if (!id) {
                continue;
            }
            ClaimSearchRow row;
            row.claimUid = *id;
            row.adjLastName = ResultField(result, "adjuster_lastname", kAdjLastNameWidth);
            row.primInsLastName = ResultField(result, "insured_lastname", kPrimInsLastNameWidth);
            row.claimNumber = ResultField(result, "claim_num", kClaimNumberWidth);
            row.policyNumber = ResultField(result, "policy_num", kPolicyNumberWidth);
            row.lossCity = ResultField(result, "loss_city", kLossCityWidth);
            row.lossState = ResultField(result, "loss_state", kLossStateWidth);
            row.lossZipcode = ResultField(result, "loss_zipcode", kLossZipcodeWidth);
            row.dateOfLoss = ResultDate(result, currentYear);
            rows.push_back(std::move(row));
        }
    }

    // The test is on "total", not on the rows: the server's count is what the user asked about.
    if (total == 0) {
        notice.ShowMessage(MessageKind::Information,
                           "Your search request produced no record results.\r\n\r\nPlease change your search "
                           "criteria and try again.");
    }
    return rows;
}

text::DateTime FirstDayOfMonth(text::DateTime date)
{
    text::DateParts parts = text::DecodeDateTime(date);
    parts.day = 1;
    return text::EncodeDateTime(parts);
}

std::string ReformatDate(const std::string& dateText, const std::string& pattern)
{
    std::string month = ExtractDatePart('m', dateText, pattern);
    if (month.size() == 1) {
        month.insert(0, "0");
    }
    std::string day = ExtractDatePart('d', dateText, pattern);
    if (day.size() == 1) {
        day.insert(0, "0");
    }
    const std::string year = ExtractDatePart('y', dateText, pattern);
    return month + "/" + day + "/" + year;
}

std::string ExtractDatePart(char letter, const std::string& dateText, const std::string& pattern)
{
    const char wanted = text::LowerCase(std::string(1, letter)).front();
    std::string part;
    for (std::size_t i = 0; i < pattern.size() && i < dateText.size(); ++i) {
        if (text::LowerCase(std::string(1, pattern[i])).front() == wanted) {
            part.push_back(dateText[i]);
        }
    }
    return part;
}

} // namespace wh::restore
