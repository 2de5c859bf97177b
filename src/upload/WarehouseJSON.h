#pragma once

#include "support/json/Json.h"

namespace wh::paradox {
class Table;
}

namespace wh {

// The claim summary document: adds the members that describe the current record of the claims
// table to `document` (an empty object), in the server's order: texts, numbers, dates as
// "yyyy-mm-dd" (an empty date leaves its member out; "claim_ver_date" is always there) and the
// three "employee_" members, always "". It neither moves the table nor changes a field. A field
// the table lacks is a wh::TableError, passed on to the caller.
void BuildClaimJSON(paradox::Table& claimsTable, json::ObjectBuilder& document);

} // namespace wh
