#pragma once

#include "support/text/DateTime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wh {
class UserNotice;
}
namespace wh::warehouse {
class WarehouseSession;
}

// The claim search of the warehouse: the query document built from the search window's criteria,
// and the server's answer turned into result rows, with the messages the search shows on the way.
// The window (and the command line) only collect criteria and show rows.
namespace wh::restore {

// The date kinds of the "Find Based On:" list, in list order: caption and the kind sent.
struct DateKindChoice
{
    const char* caption;
    const char* kind;
};
const std::vector<DateKindChoice>& DateKindChoices();

struct ClaimSearchCriteria
{
    std::string insuredLast;
    std::string adjusterLast;
    std::string policyNumber;
    std::string claimNumber;
    int dateKindIndex = 0; // into DateKindChoices(); -1 when no item is chosen
    text::DateTime startDate;
    text::DateTime endDate;
    int scopeIndex = 0; // 0 "Search My Claims", 1 "Search All Company Claims", -1 none chosen
};

// The query document as sent: members in their fixed order, every value a string.
std::string BuildSearchQuery(const ClaimSearchCriteria& criteria);

// One claim of an answer, its texts cut to the widths of the result table's fields.
struct ClaimSearchRow
{
    std::string adjLastName; // Adj_LastName, 40
    std::string claimNumber; // ClaimNumber, 40
    std::string primInsLastName; // Prim_Ins_LastName, 20
    std::string policyNumber; // PolicyNumber, 40
    std::optional<text::DateTime> dateOfLoss; // DateOfLoss; empty when missing or not yyyy-mm-dd
    std::int32_t claimUid = 0; // ClaimUID: the server claim id
    std::string lossCity; // loss_city, 40
    std::string lossState; // loss_state, 2
    std::string lossZipcode; // loss_zipcode, 10
};

// Sends the query and reads the answer: the rows in the answer's order, after the "more than"
// message when "total" passes 50 and followed by the no-result message when "total" is 0 (both
// through `notice`); no value after the failed-search message, when the answer is no JSON object
// or its "results" is no list. Elements that are no object or have no whole-number "id" are left
// out. A query copy that cannot be written raises a FileError, as SearchClaims does.
std::optional<std::vector<ClaimSearchRow>> RunClaimSearch(warehouse::WarehouseSession& session, UserNotice& notice,
                                                          const ClaimSearchCriteria& criteria);

// The reading half of RunClaimSearch: the answer as SearchClaims returned it, turned into rows
// with the same messages; two-digit years of dates are taken relative to `currentYear`.
std::optional<std::vector<ClaimSearchRow>> ReadSearchAnswer(const std::string& returned, int currentYear,
                                                            UserNotice& notice);

// Day 1 of the month of `date`, with the time of day of `date`.
text::DateTime FirstDayOfMonth(text::DateTime date);
// "mm/dd/yyyy" from a date laid out as `pattern` ("yyyy-mm-dd"), taken by position.
std::string ReformatDate(const std::string& dateText, const std::string& pattern);
// The characters of `dateText` at the positions where `pattern` holds `letter` (any case).
std::string ExtractDatePart(char letter, const std::string& dateText, const std::string& pattern);

} // namespace wh::restore
