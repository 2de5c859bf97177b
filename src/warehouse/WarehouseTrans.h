#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "support/Errors.h"
#include "warehouse/WarehouseSession.h"

// Every request the tool makes of the warehouse server. Requests do not raise for transfer
// failures: they return their result texts and set the session's LastServerMessage as each one
// says. Local files they cannot prepare, and failure logs they cannot write, raise FileError.
namespace wh::warehouse {

// A download that failed (GetClaimFile hands every failure to its caller).
class RequestFailure : public Error
{
public:
    using Error::Error;
};

// GET /api/status: the sign-in check. The body, or "500" (transfer failure) or "400" (other).
std::string Authenticate(WarehouseSession& session);

// GET /api/claims/: the user's claims with their versions. The body, or "500" or "400".
std::string GetClaimList(WarehouseSession& session);

// POST /api/sequences/claims: a new server claim id as text, or empty text.
std::string GetClaimSequences(WarehouseSession& session);

// GET /api/claims/ID.json: the stored summary document, or empty text.
std::string GetClaimJSONData(WarehouseSession& session, const std::string& id);

// GET /api/claims/ID.kvz into the claims directory's Warehouse/Downloads/ID.kvz; returns the id.
// Every failure is raised: FileError when the file cannot be written here, RequestFailure for
// the rest; the file keeps whatever had arrived.
std::string GetClaimFile(WarehouseSession& session, const std::string& id);

// PUT /api/claims/ID.kvz with the archive file: the answer's body, or empty text.
std::string PutClaimFile(WarehouseSession& session, const std::string& id, const std::string& archivePath);

// PUT /api/claims/ID.json with the document, which is first kept as Warehouse/Uploads/ID.json:
// the body for status 200, else empty text with the reason in LastServerMessage.
std::string PutClaimJSON(WarehouseSession& session, const std::string& id, const std::string& document);

// POST /api/claims/search with the query, which is first kept as Warehouse/Uploads/ClaimSearch.json:
// the body, "Error Code : " + code + CR LF + text after a transfer failure, or empty text.
std::string SearchClaims(WarehouseSession& session, const std::string& query);

// GET /api/aux/: the body, or empty text with the reason in LastServerMessage.
std::string AuxGetList(WarehouseSession& session);

// GET /api/aux/CODE into `path`: "ok", or empty text with the reason in LastServerMessage.
std::string AuxGetFile(WarehouseSession& session, const std::string& path, const std::string& code);

// PUT /api/aux/CODE with the file: "ok" when the server confirmed ("Successfully" in its answer),
// the answer when it did not, or empty text with the reason in LastServerMessage.
std::string AuxPutFile(WarehouseSession& session, const std::string& path, const std::string& code);

// The member `key` of a JSON object as a 32-bit signed integer; none when the member is missing
// or holds no whole number in range.
std::optional<std::int32_t> GetJSONInteger(const nlohmann::ordered_json& object, const std::string& key);

} // namespace wh::warehouse
