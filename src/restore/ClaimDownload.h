#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace wh::env {
class WarehouseEnv;
}
namespace wh::paradox {
class Table;
}
namespace wh::warehouse {
class WarehouseSession;
}

// Downloading claims chosen in the search results: the archive and the summary document fetched,
// the server's version compared with the local claim of the same server id, the user asked, and
// the archive restored into the local claims table when the user agrees.
namespace wh::restore {

enum class ClaimVersionState {
    SameVersion = 0,
    LocalNewer = 1,
    ServerNewer = 3,
    NotOnThisSystem = 4,
};

struct LocalClaimMatch
{
    ClaimVersionState state = ClaimVersionState::NotOnThisSystem;
    std::int64_t localClaimId = 0; // 0 when no local claim has the server id
};

// The server's version of the claim, from its summary document; none when the document is not
// an object with a whole-number "claim_version" (a version we cannot compare is as unusable as
// no document at all).
std::optional<std::int64_t> ServerVersion(const std::string& documentText);

// The first claim of `claims` (in key order) carrying `serverId` decides; the table is left on it, or
// at its end. Claims never uploaded (server id 0 or empty) are copies of no server claim.
LocalClaimMatch FindLocalClaim(paradox::Table& claims, std::int64_t serverId, std::int64_t serverVersion);
// The file's size in bytes, or 0 when it does not exist.
std::int64_t DownloadedFileSize(const std::string& path);
// True when the file starts with the signature of a ZIP local file header. A file that exists but
// cannot be read is none; `problem`, when given, then gets the file's name and the reason.
bool IsZipFile(const std::string& path, std::string* problem = nullptr);

// A selected result row, as the download uses it.
struct DownloadRow
{
    std::int32_t claimUid = 0;
    std::string claimNumber;
    std::string policyNumber;
};

// What the download needs besides the rows: the environment (claims directory, user notice), the
// signed-in session, the table engine's private folder (for the restore) and a way to show the
// status line.
struct DownloadContext
{
    env::WarehouseEnv& env;
    warehouse::WarehouseSession& session;
    std::string privateDir;
    std::function<void(const std::string&)> setStatus;
};

// The steps for one row; false when the whole download stops (the claim document unreadable, or
// the restore passed on an error, which has been shown). An archive is offered for restore only
// when its transfer succeeded and the file is a ZIP file; otherwise the user is told and the next
// row follows. Table errors are passed on.
bool DownloadClaim(DownloadContext& context, paradox::Table& claims, const DownloadRow& row);

// Every row in turn, through one shared opening of the claims table of the claims directory, then
// the status line back to " " and " Idle". Errors (the table cannot be opened, say) are shown as
// an error message and end the download; the busy cursor and the status line are reset anyway.
void DownloadClaims(DownloadContext& context, const std::vector<DownloadRow>& rows);

} // namespace wh::restore
