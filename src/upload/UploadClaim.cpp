#include "upload/UploadClaim.h"

#include <algorithm>
#include <sys/stat.h>

#include "env/ActivityLog.h"
#include "env/WarehouseFuncs.h"
#include "support/json/Json.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"
#include "upload/ClaimFolder.h"
#include "upload/WarehouseBuildClaim.h"
#include "upload/WarehouseJSON.h"
#include "warehouse/WarehouseTrans.h"

namespace wh::upload {
namespace {

constexpr const char* kInitialUpload = "Initial Upload";

// The fields that say who uploaded the claim, and under which server id.
void StampClaimRecord(paradox::Table& table, const SignInIdentity& identity, bool writeServerId,
                      std::int64_t serverClaimID)
{
    table.Edit();
    if (writeServerId) {
        table.FieldByName("SrvClaimID").SetInteger(serverClaimID);
    }
    table.FieldByName("CompanyUID").SetInteger(identity.CompanyID);
    table.FieldByName("RegionUID").SetInteger(identity.RegionID);
    table.FieldByName("OfficeUID").SetInteger(identity.OfficeID);
    table.FieldByName("DepartmentUID").SetInteger(identity.DepartmentID);
    table.FieldByName("EmployeeUID").SetInteger(identity.ServerUserID);
    table.Post();
    table.Flush();
}

bool IsEmptyServerId(paradox::Field& field)
{
    return field.IsNull() || field.AsInteger() == 0;
}

bool SameFile(const std::string& first, const std::string& second)
{
    struct stat a = {};
    struct stat b = {};
    return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev
        && a.st_ino == b.st_ino;
}

} // namespace

void CopyRecordFields(paradox::Table& source, paradox::Table& destination)
{
    CopyRecordFields(source, destination, 0, source.FieldCount() - 1);
}

void CopyRecordFields(paradox::Table& source, paradox::Table& destination, int first, int last)
{
    last = std::min(last, source.FieldCount() - 1);
    for (int index = std::max(first, 0); index <= last; ++index) {
        const paradox::Field& from = source.FieldAt(index);
        paradox::Field* to = destination.FindField(from.Name());
        if (to == nullptr || !to->CanModify()) {
            continue;
        }
        to->AssignFrom(from);
    }
}

std::string ClaimFolderOf(env::WarehouseEnv& env, paradox::Table& claimsTable)
{
    const ClaimFolder folder = FindClaimFolder(env.GetClaimsDir(), claimsTable);
    const std::string claim = "Claim " + claimsTable.FieldByName("ClaimNumber").AsText();
    if (folder.state == ClaimFolder::State::Refused) {
        throw FileError(claim + ": " + folder.problem);
    }
    if (folder.state == ClaimFolder::State::Missing) {
        throw FileError(claim + ": the claim folder " + folder.path + " does not exist");
    }
    return folder.path;
}

void OpenClaimFolderTable(paradox::Table& folderClaims, paradox::Table& claimsTable)
{
    folderClaims.Open(paradox::OpenMode::Shared);
    folderClaims.First();
    const std::string claim = "claim " + claimsTable.FieldByName("ClaimNumber").AsText();
    const auto refuse = [&](const std::string& why) {
        const std::string path = folderClaims.Path();
        folderClaims.Close();
        throw TableError("Table \"" + path + "\" is not the claim folder's own table of " + claim + ": " + why);
    };
    if (SameFile(folderClaims.Path(), claimsTable.Path())) {
        refuse("it is the claims table itself");
    }
    if (folderClaims.RecordCount() > 1) {
        refuse("it holds " + std::to_string(folderClaims.RecordCount()) + " records");
    }
    paradox::Field* ownId = folderClaims.FindField("ClaimID");
    paradox::Field* claimId = claimsTable.FindField("ClaimID");
    if (!folderClaims.Eof() && ownId != nullptr && claimId != nullptr && !ownId->IsNull() && !claimId->IsNull()
        && ownId->AsInteger() != claimId->AsInteger()) {
        refuse("its record is the one of ClaimID " + ownId->AsText() + ", not " + claimId->AsText());
    }
}

void ReportNotStored(UploadRunContext& run, const std::string& claimNumber, const std::string& reason)
{
    run.ClaimsNotStored.push_back(claimNumber);
    if (run.Progress) {
        ClaimProgress notStored = run.Position;
        notStored.step = ClaimProgress::Step::NotStored;
        notStored.claimNumber = claimNumber;
        notStored.reason = reason;
        run.Progress(notStored);
    }
}

void CheckClaimCanBeStamped(paradox::Table& claimsTable, const std::string& claimFolder)
{
    try {
        // An edit begun and dropped finds out whether the table takes a post, and writes nothing.
        claimsTable.Edit();
        claimsTable.Cancel();
        paradox::Table folderClaims(claimFolder, "Claims.DB");
        OpenClaimFolderTable(folderClaims, claimsTable);
        folderClaims.Edit();
        folderClaims.Cancel();
        folderClaims.Close();
    } catch (const Error& e) {
        throw TableError("Claim " + claimsTable.FieldByName("ClaimNumber").AsText()
                         + " cannot be stamped, so no claim id was asked for: " + e.what());
    }
}

void UploadClaim(UploadRunContext& run, paradox::Table& claimsTable, bool isNewClaim, std::int64_t serverClaimID)
{
    env::WarehouseEnv& environment = run.Env;
    const std::string claimNumber = claimsTable.FieldByName("ClaimNumber").AsText();
    const std::string claimDir = claimsTable.FieldByName("Claimdir").AsText();
    const std::string claimSubdir = claimsTable.FieldByName("ClaimSubdir").AsText();
    const std::string claimFolder = ClaimFolderOf(environment, claimsTable);
    if (run.Progress) {
        ClaimProgress uploading = run.Position;
        uploading.step = ClaimProgress::Step::Uploading;
        run.Progress(uploading);
    }

    {
        // The folder's table is checked to be the claim's own before either record is stamped.
        paradox::Table folderClaims(claimFolder, "Claims.DB");
        OpenClaimFolderTable(folderClaims, claimsTable);
        StampClaimRecord(claimsTable, run.Identity, isNewClaim, serverClaimID);
        // A run that ended between the two stampings left the folder's copy without the id that
        // the claims table holds; the id is carried over so both records name the same claim.
        paradox::Field* folderId = folderClaims.FindField("SrvClaimID");
        const bool repairId = !isNewClaim && !folderClaims.Eof() && folderId != nullptr && IsEmptyServerId(*folderId)
            && !IsEmptyServerId(claimsTable.FieldByName("SrvClaimID"));
        StampClaimRecord(folderClaims, run.Identity, isNewClaim || repairId,
                         isNewClaim ? serverClaimID : claimsTable.FieldByName("SrvClaimID").AsInteger());
        folderClaims.Close();
    }

    {
        paradox::Table::EmptyTable(environment.TempArcsDir(), "Arcs.DB");
        paradox::Table arcs(environment.TempArcsDir(), "Arcs.DB");
        arcs.Open(paradox::OpenMode::Shared);
        arcs.Append();
        CopyRecordFields(claimsTable, arcs);
        arcs.Post();
        arcs.Flush();
        arcs.Close();
    }

    // Without its archive the claim cannot be sent: the run ends here, saying which file failed and
    // why, rather than that the archive that was never made cannot be opened.
    const std::string buildFailure
        = BuildClaimArchive(environment, claimDir, claimSubdir, serverClaimID, run.SignedInOnce);
    if (!buildFailure.empty()) {
        throw ArchiveError("The archive of claim " + claimNumber + " cannot be built: " + buildFailure);
    }
    run.Notice.SetTrayHint("Uploading Claim " + claimNumber);

    const std::string id = std::to_string(serverClaimID);
    const std::string fileAnswer
        = warehouse::PutClaimFile(run.Session, id, ClaimArchivePath(environment, serverClaimID));
    {
        env::ActivityLog log(environment);
        log.WriteStamped((isNewClaim ? "WHT uploaded new closed claim " : "WHT uploaded closed claim ") + claimNumber);
        log.WriteLine("*** File " + fileAnswer);
    }
    if (fileAnswer.empty()) {
        ReportNotStored(run, claimNumber,
                        "the server did not take the archive " + id + ".kvz (PutClaimLog.txt in "
                            + environment.WarehouseDir() + " says why)");
        return;
    }

    json::ObjectBuilder document;
    BuildClaimJSON(claimsTable, document);
    const std::string dataAnswer = warehouse::PutClaimJSON(run.Session, id, document.Text());
    env::ActivityLog log(environment);
    if (!dataAnswer.empty()) {
        log.WriteLine("*** Data " + dataAnswer);
        RecordUpload(run, claimFolder, claimsTable);
    } else {
        log.WriteLine("*** Data " + run.Session.LastServerMessage());
        ReportNotStored(run, claimNumber,
                        "the server did not take the document " + id + ".json: " + run.Session.LastServerMessage());
    }
}

void RecordUpload(UploadRunContext& run, const std::string& claimFolder, paradox::Table& claimsTable)
{
    if (!paradox::Table::Exists(claimFolder, "KW_Uploads.DB")) {
        return;
    }
    const text::DateTime now = run.Env.Clock().Now();
    paradox::Table uploads(claimFolder, "KW_Uploads.DB");
    uploads.Open(paradox::OpenMode::Shared);
    if (uploads.RecordCount() == 0) {
        uploads.Append();
        uploads.FieldByName("Name").SetText(kInitialUpload);
        uploads.FieldByName("RType").SetInteger(1);
        uploads.FieldByName("Date_Created").SetDateTime(now);
        uploads.FieldByName("Date_Uploaded").SetDateTime(now);
        uploads.Post();
    } else {
        uploads.Last();
        if (uploads.FieldByName("Date_Uploaded").IsNull()) {
            uploads.Edit();
            paradox::Field& name = uploads.FieldByName("Name");
            if (uploads.RecordCount() == 1 && name.AsText().empty()) {
                name.SetText(kInitialUpload);
                uploads.FieldByName("RType").SetInteger(1);
                uploads.FieldByName("Date_Created").AssignFrom(claimsTable.FieldByName("CLVerDate"));
            }
            uploads.FieldByName("Date_Uploaded").SetDateTime(now);
            uploads.Post();
        }
    }
    uploads.Flush();
    uploads.Close();
}

} // namespace wh::upload
