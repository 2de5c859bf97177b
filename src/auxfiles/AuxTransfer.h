#pragma once

#include <map>
#include <optional>
#include <string>

#include "auxfiles/AuxArchive.h"

namespace wh {
class UserNotice;
}
namespace wh::warehouse {
class WarehouseSession;
}

namespace wh::auxfiles {

// The prefixes of a row's date label: from the server's list, and after a Put in this window
// (the second has a blank before the colon; both are what users have always seen).
inline constexpr const char* kListedDatePrefix = "Updated: ";
inline constexpr const char* kPutDatePrefix = "Updated : ";
inline constexpr const char* kNeverUpdated = "Updated: NEVER";

// A server date (YYYY-MM-DD, then anything) as MM/DD/YYYY: characters 6-7, 9-10 and 1-4. A
// shorter text gives what those characters hold.
std::string ShownAuxDate(const std::string& date);

// The server's list of auxiliary files: for each kind it names with an exact code, the date as
// shown; a later element of a kind wins and unknown codes are skipped. std::nullopt when the text
// is no JSON list of objects with text members "type" and "date_modified"; `problem` then says why.
std::optional<std::map<int, std::string>> ParseAuxList(const std::string& list, std::string* problem = nullptr);

// The "msg" text of a JSON refusal of a Put; none when the answer is no object with a text "msg".
std::optional<std::string> RefusalMessage(const std::string& answer);

// The file that tells the adjusting product to look at its reference databases again.
std::string UpdateMarkerPath(env::WarehouseEnv& env);

// The Get button's work for one kind: fetch the archive into the transfer file, unpack it, delete
// the transfer file, write the update marker whatever came of it. Every failure has been shown
// through `notice`; `detail`, when given, gets the cause of a refused extraction. True when the
// kind was unpacked and the marker written.
bool GetAuxKind(env::WarehouseEnv& env, warehouse::WarehouseSession& session, UserNotice& notice, const AuxKind& kind,
                std::string* detail = nullptr);

// The Put button's work for one kind: pack the tables into the transfer file, send it, delete it.
// Every failure has been shown through `notice`. True when the server confirmed.
bool PutAuxKind(env::WarehouseEnv& env, warehouse::WarehouseSession& session, UserNotice& notice, const AuxKind& kind);

// Today's date as the short date MM/DD/YYYY, as a Put's date label shows it.
std::string TodayShortDate(env::WarehouseEnv& env);

} // namespace wh::auxfiles
