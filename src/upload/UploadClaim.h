#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "env/UserNotice.h"
#include "support/Errors.h"

namespace wh::env {
class WarehouseEnv;
}
namespace wh::warehouse {
class WarehouseSession;
}
namespace wh::paradox {
class Table;
}

namespace wh::upload {

// The signed-in user's organisation ids and user id on the server; a ServerUserID of -1 marks a
// failed sign-in.
struct SignInIdentity
{
    std::int32_t CompanyID = 0;
    std::int32_t RegionID = 0;
    std::int32_t OfficeID = 0;
    std::int32_t DepartmentID = 0;
    std::int32_t ServerUserID = -1;
};

// Where a run is: one call per claim examined, per claim uploaded and per claim that was to be
// uploaded but is not stored on the server, for progress displays.
struct ClaimProgress
{
    enum class Step { Examining, Uploading, NotStored };
    Step step = Step::Examining;
    std::int64_t index = 0; // 1-based position in the claims table
    std::int64_t total = 0; // records in the claims table when the walk began
    std::string claimNumber; // as stored (Windows-1252)
    std::string reason; // NotStored: why
};

// What the claim processing and the upload of one claim need from the run.
struct UploadRunContext
{
    UploadRunContext(env::WarehouseEnv& env, warehouse::WarehouseSession& session, UserNotice& notice)
        : Env(env)
        , Session(session)
        , Notice(notice)
    {
    }

    env::WarehouseEnv& Env;
    warehouse::WarehouseSession& Session;
    UserNotice& Notice;
    SignInIdentity Identity;
    bool SignedInOnce = false;
    bool UploadAll = false;
    bool DebugMode = false;
    std::function<void(const ClaimProgress&)> Progress;
    ClaimProgress Position; // the record the walk is on
    // Claims this run was to upload that the server did not store (no id, archive or document
    // refused or lost), by claim number; they are tried again by the next run.
    std::vector<std::string> ClaimsNotStored;
    const bool* StopRequested = nullptr; // set when the tool is closing: the walk ends before the next claim
};

// The walk was told to stop because the tool is closing.
class RunStopped : public Error
{
public:
    using Error::Error;
};

// Notes that a claim the run was to upload is not stored on the server, and why, and tells the
// progress display.
void ReportNotStored(UploadRunContext& run, const std::string& claimNumber, const std::string& reason);

// Copies the source table's current record into the destination's current record (in Edit or
// Append) by field name, without regard to case. Fields the destination lacks, or cannot modify,
// are passed over; empty values stay empty; memo and blob values are copied whole; differing
// types are converted as any assignment to the field converts.
void CopyRecordFields(paradox::Table& source, paradox::Table& destination);
// The same over the source fields `first` to `last` (cut to the source's last field); nothing
// when first is greater than last.
void CopyRecordFields(paradox::Table& source, paradox::Table& destination, int first, int last);

// Raises a TableError naming the claim and the table in the way when the claim at the current
// record of `claimsTable` could not be stamped: either claims table read-only or one this engine
// cannot write, or the claim folder's table missing, read-only or not the claim's own. Nothing is
// written.
void CheckClaimCanBeStamped(paradox::Table& claimsTable, const std::string& claimFolder);

// Carries the claim at the current record of `claimsTable` to the server: stamps the server id
// (new claims only) and the identity into both claim records, refills the ARCS table, builds and
// sends the archive, logs the outcome, then builds and sends the summary document and, when both
// were taken, stamps the upload register. Table, file and archive errors are passed on.
void UploadClaim(UploadRunContext& run, paradox::Table& claimsTable, bool isNewClaim, std::int64_t serverClaimID);

// Stamps the upload time into the claim folder's KW_Uploads.DB (nothing when the table is
// missing): a first row for an empty register, else the last row unless it is stamped already.
void RecordUpload(UploadRunContext& run, const std::string& claimFolder, paradox::Table& claimsTable);

// The claim folder of a claims table record: claims directory/Claimdir/ClaimSubdir, found
// without regard to case. Raises a FileError naming the claim when the record names no folder
// strictly below the claims directory, or one that does not exist (see FindClaimFolder).
std::string ClaimFolderOf(env::WarehouseEnv& env, paradox::Table& claimsTable);

// Opens the claim folder's own Claims.DB (`folderClaims`) at its first record, making sure it is
// the claim's own before anything in it is stamped: not the claims table itself, at most one
// record, and no record of another ClaimID. Raises a TableError naming the table otherwise.
void OpenClaimFolderTable(paradox::Table& folderClaims, paradox::Table& claimsTable);

} // namespace wh::upload
