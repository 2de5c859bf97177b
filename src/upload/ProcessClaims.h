#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>

#include "support/json/Json.h"
#include "upload/ClaimLockOut.h"
#include "upload/UploadClaim.h"

namespace wh::upload {

// The server's claim list as a look-up from server claim id to the version the server holds,
// built once per run. The first element with an id wins, as a walk through the list would find
// it; elements without a whole-number "id" and "version" match nothing.
class ServerClaimIndex
{
public:
    ServerClaimIndex() = default;
    explicit ServerClaimIndex(const json::Value& serverClaimList);

    // The version the server holds for `serverClaimID`, or nothing when it is not listed.
    std::optional<std::int64_t> VersionOf(std::int64_t serverClaimID) const;
    std::size_t Size() const { return m_versions.size(); }

private:
    std::unordered_map<std::int64_t, std::int64_t> m_versions;
};

// The new server claim id in a sequence answer (decimal text, blanks around it allowed). Anything
// else raises Error, which ends the run with the claim still new.
std::int64_t ParseServerClaimId(const std::string& answer);

// False exactly when the ids are the same and the server holds an older version.
bool ClaimIsCurrentOnServer(std::int64_t serverId, std::int64_t localId, std::int64_t serverVersion,
                            std::int64_t localVersion);

// Walks Claims.DB of the claims directory in its own order and uploads every claim the server
// lacks or holds in an older version: closed claims, or every claim with UploadAll, never types
// 5 and 9 nor trashed ones, each only while its lock-out file is held. Writes its decisions to
// the activity log and, in debug mode, a trace of every record. Errors end the walk at the claim
// in hand (the table is closed and the lock-out file released) and are passed on; a stop request
// ends it before the next claim with RunStopped.
void ProcessClaims(UploadRunContext& run, const ServerClaimIndex& serverClaims, ClaimLockOut& lockOut);

} // namespace wh::upload
