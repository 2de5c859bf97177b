#include "restore/UnArc_Claim_File.h"

#include "auxfiles/Bld_Claim_File.h"
#include "env/UserNotice.h"
#include "env/WarehouseFuncs.h"
#include "restore/RestoreFileOps.h"
#include "support/Errors.h"
#include "support/paradox/Table.h"
#include "support/platform/DiskSpace.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"
#include "support/zip/ZipNames.h"
#include "upload/ClaimFolder.h"
#include "upload/UploadClaim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <memory>
#include <numeric>
#include <set>
#include <unistd.h>
#include <vector>

namespace wh::restore {
namespace {

using paradox::OpenMode;
using paradox::Table;

constexpr int kInboxBoxID = -200;
constexpr const char* kInboxDir = "inbox";

// What a restore leaves free on the disk it unpacks to: the adjusting product goes on writing its
// tables there, and a disk filled to the last byte would fail it next.
constexpr std::uint64_t kKeepFreeBytes = std::uint64_t { 32 } << 20;

// The archive's claim record: the ARCS table at the root of the archive, never in a folder.
constexpr const char* kArcsMask = "arcs.*";

// The members of the archive at its root that match `mask`.
std::vector<std::size_t> RootMembers(const zip::ZipReader& reader, const char* mask)
{
    std::vector<std::size_t> members;
    const std::vector<zip::ZipEntry>& entries = reader.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const zip::ZipEntry& entry = entries[i];
        if (!entry.isFolder && entry.name.find('/') == std::string::npos && zip::MatchesMask(entry.name, mask)) {
            members.push_back(i);
        }
    }
    return members;
}

// Why the members would not fit on the disk of `folder`, or empty text when they do. The sizes
// are the ones the archive declares (the reader never writes more than those); their sum stops
// at the largest number rather than wrap around to a small one.
std::string RoomRefusal(const zip::ZipReader& reader, const std::vector<std::size_t>& members,
                        const std::string& folder)
{
    constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t declared = 0;
    for (const std::size_t index : members) {
        const std::uint64_t size = reader.Entries()[index].size;
        declared = size > kMost - declared ? kMost : declared + size;
    }
    const std::uint64_t free = platform::FreeBytes(folder);
    if (declared <= free && free - declared >= kKeepFreeBytes) {
        return {};
    }
    return "The archive " + reader.ArchivePath() + " unpacks to " + (declared == kMost ? "more than " : "")
        + std::to_string(declared) + " bytes, but the disk of " + folder + " has " + std::to_string(free)
        + " bytes free and must keep " + std::to_string(kKeepFreeBytes) + " of them. Make room on that disk and "
        + "try again.";
}

// "IMG_0001.JPG", 2 -> "IMG_0001 (2).JPG"; "README", 2 -> "README (2)".
std::string NumberedName(const std::string& name, int number)
{
    const std::size_t dot = name.rfind('.');
    const std::string suffix = " (" + std::to_string(number) + ")";
    if (dot == std::string::npos || dot == 0) {
        return name + suffix;
    }
    return name.substr(0, dot) + suffix + name.substr(dot);
}

bool FileExistsNoCase(const std::string& folder, const std::string& name)
{
    return platform::FileExists(platform::ResolveNoCase(folder, name));
}

// A claim directory as a record names it: a relative folder below the claims directory.
bool IsClaimDirName(const std::string& claimDir)
{
    return !text::Trim(claimDir).empty() && zip::IsSafeMemberName(claimDir);
}

// Empties and removes a claim folder; a folder that stays is noted in deldir for the product.
void RemoveClaimFolder(env::WarehouseEnv& env, const std::string& folder)
{
    DeleteFolderFiles(folder, "*.*");
    if (::rmdir(folder.c_str()) != 0) {
        RecordUndeletedFolder(env, folder);
    }
}

// One restore of one archive: the guarded steps and what is needed to take them back.
class ClaimRestore
{
public:
    ClaimRestore(env::WarehouseEnv& env, const std::string& privateDir, Table& claimsTable, TNewUnZip& reader,
                 const std::string& archivePath, int state, bool treatAsNew, std::int64_t localClaimID)
        : m_env(env)
        , m_privateDir(privateDir)
        , m_claimsTable(claimsTable)
        , m_reader(reader)
        , m_archivePath(archivePath)
        , m_state(state)
        , m_treatAsNew(treatAsNew)
        , m_localClaimID(localClaimID)
    {
    }

    // Builds the new claim and, when it is complete, puts it in place of the old one. Errors are
    // thrown with nothing taken back yet; TakeBack does that.
    void Run();
    // Undoes what Run had done when an error interrupted it, and tells the user.
    void TakeBack(const std::string& reason) noexcept;

private:
    // A member of the claim folder and the name it gets in the new, flat claim folder.
    struct ClaimMember
    {
        std::size_t index = 0;
        std::string fileName;
        bool renamed = false;
    };

    void PlanClaimFiles();
    void MakeNewRecord();
    bool UnpackClaimFiles();
    void TellRenamedFiles();
    void DropIncompleteClaim();
    void UpdateFolderClaimRecord();
    void ReplaceOldClaim();
    // Whether the claims table still holds the replaced claim's record, after a failed delete.
    bool OldRecordStillThere() noexcept;
    void CloseTables() noexcept;

    env::WarehouseEnv& m_env;
    const std::string& m_privateDir;
    Table& m_claimsTable;
    TNewUnZip& m_reader;
    const std::string& m_archivePath;
    const int m_state;
    const bool m_treatAsNew;
    const std::int64_t m_localClaimID;

    std::string m_claimsDir;
    std::unique_ptr<Table> m_arcs; // A: the archive's ARCS table in the private folder
    std::unique_ptr<Table> m_local; // L: the second handle on the claims table
    std::string m_claimNumber;
    std::string m_claimDir;
    std::int64_t m_boxID = 0;
    std::string m_newName;
    std::string m_newFolder;
    std::int32_t m_newID = 0;
    std::vector<ClaimMember> m_members; // in archive order
    std::vector<std::string> m_renamed; // "member as name", for the user

    // What has been done so far, for the take-back.
    bool m_appending = false; // the caller's table holds our unposted new record
    bool m_recordPosted = false; // record m_newID is ours
    bool m_folderMade = false; // m_newFolder is ours
    bool m_committed = false; // the old claim is gone: the new one must stay
    std::string m_oldFolderKept; // the replaced claim's folder, not removed after a failed replace
};

void ClaimRestore::Run()
{
    m_claimsDir = m_env.GetClaimsDir();
    if (m_claimsDir.empty()) {
        throw FileError("The claims directory is not known (see DBAlias.ini), so there is no claims database to "
                        "restore into.");
    }

    m_arcs = std::make_unique<Table>(m_privateDir, "arcs.db");
    m_arcs->Open(OpenMode::Shared);
    m_arcs->First();
    m_claimNumber = m_arcs->FieldByName("claimnumber").AsText();

    if (m_state == kRestoreNotOnThisSystem) {
        m_claimDir = kInboxDir;
        m_boxID = kInboxBoxID;
    } else {
        // Reading the box and folder off whatever record happens to be current would file the
        // claim in the wrong place.
        if (!m_claimsTable.FindKey(m_localClaimID)) {
            throw TableError("Claim " + std::to_string(m_localClaimID) + " is no longer in the claims table "
                             + m_claimsTable.Path() + ", so it cannot be replaced.");
        }
        m_boxID = m_claimsTable.FieldByName("BoxID").AsInteger();
        m_claimDir = m_claimsTable.FieldByName("ClaimDir").AsText();
        if (!IsClaimDirName(m_claimDir)) {
            throw FileError("Claim " + std::to_string(m_localClaimID) + " names the claim directory \"" + m_claimDir
                            + "\", which is not a folder below the claims directory " + m_claimsDir + ".");
        }
    }

    PlanClaimFiles();
    std::vector<std::size_t> indexes;
    for (const ClaimMember& member : m_members) {
        indexes.push_back(member.index);
    }
    const std::string refusal = RoomRefusal(m_reader, indexes, m_claimsDir);
    if (!refusal.empty()) {
        throw FileError(refusal);
    }

    const std::string parent = m_env.ClaimsPath(m_claimDir);
    m_newName = MakeTempClaimFolder(parent, ".kvx");
    if (m_newName.empty()) {
        m_env.Notice().ShowMessage(MessageKind::Error, "Cannot Generate Temporary Name");
        CloseTables();
        DeleteFolderFiles(m_privateDir, "arcs.*");
        return;
    }
    m_newFolder = platform::JoinPath(parent, m_newName);
    m_folderMade = true;

    MakeNewRecord();

    if (UnpackClaimFiles()) {
        UpdateFolderClaimRecord();
        if (m_state == kRestoreNotOnThisSystem) {
            if (!FileExistsNoCase(m_newFolder, "image.db")) {
                CopyEmptyClaimComponent(m_env, m_newFolder, "image.*");
            }
        } else {
            ReplaceOldClaim();
        }
        TellRenamedFiles();
    } else {
        DropIncompleteClaim();
    }

    // Clean-up after a complete restore and after an incomplete archive alike.
    DeleteFolderFiles(m_privateDir, "arcs.*");
    m_reader.ExtractFailed = false;
    std::remove(m_archivePath.c_str());
}

void ClaimRestore::MakeNewRecord()
{
    m_claimsTable.Append();
    m_appending = true;
    m_newID = NextAutoIncValue(m_env, 1);
    m_claimsTable.FieldByName("ClaimID").SetInteger(m_newID);
    m_claimsTable.Post();
    m_appending = false;
    m_recordPosted = true;
    m_claimsTable.Flush();

    m_local = std::make_unique<Table>(m_claimsDir, "claims.db");
    m_local->Open(OpenMode::Shared);
    // Editing any other record here would overwrite a claim with this one's fields.
    if (!m_local->FindKey(m_newID)) {
        throw TableError("The new record " + std::to_string(m_newID) + " of the claims table " + m_local->Path()
                         + " cannot be found again.");
    }
    m_local->Edit();
    upload::CopyRecordFields(*m_arcs, *m_local, 0, m_local->FieldCount() - 1);
    m_local->FieldByName("ClaimID").SetInteger(m_newID);
    m_local->FieldByName("BoxID").SetInteger(m_boxID);
    m_local->FieldByName("ClaimDir").SetText(m_claimDir);
    m_local->FieldByName("ClaimSubDir").SetText(m_newName);
    m_local->FieldByName("DB_Version").SetInteger(0);
    if (m_treatAsNew) {
        m_local->FieldByName("SrvClaimID").SetInteger(0);
        m_local->FieldByName("CLVersion").SetInteger(1);
        m_local->FieldByName("CLVerDate").SetDateTime(m_env.Clock().Now());
        for (const char* uid : { "CompanyUID", "RegionUID", "OfficeUID", "DepartmentUID", "EmployeeUID" }) {
            m_local->FieldByName(uid).SetInteger(0);
        }
    }
    m_local->Post();
    m_local->Flush();
}

// Chooses the members of the recorded claim folder, at any depth, and their names in the flat new
// folder. Names compare without regard to case, as the claim folder is seen that way. Two members
// of one name (cameras name every card's pictures alike) both come: the files directly in the
// claim folder keep their names first, so the claim's own tables are never renamed for a picture
// in a subfolder; a later one gets the first free "name (n).ext" that no member is called.
void ClaimRestore::PlanClaimFiles()
{
    const std::string mask
        = m_arcs->FieldByName("claimdir").AsText() + "\\" + m_arcs->FieldByName("claimsubdir").AsText() + "\\*.*";
    struct Candidate
    {
        std::size_t index;
        std::size_t depth;
        std::string flatName;
    };
    std::vector<Candidate> candidates;
    std::set<std::string> flatNames; // upper case
    const std::vector<zip::ZipEntry>& entries = m_reader.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const zip::ZipEntry& entry = entries[i];
        // Lock and log files are left out by the reader; they claim no name.
        if (entry.isFolder || !zip::MatchesMask(entry.name, mask) || IsLockOrLogFile(entry.name)) {
            continue;
        }
        const std::vector<std::string> parts = zip::NameParts(entry.name);
        // A name without parts is refused by the reader before its file name is used.
        const std::string flatName = parts.empty() ? std::string("unnamed") : parts.back();
        candidates.push_back({ i, parts.size(), flatName });
        flatNames.insert(text::UpperCase(flatName));
    }

    std::vector<std::size_t> order(candidates.size());
    std::iota(order.begin(), order.end(), std::size_t { 0 });
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return candidates[a].depth < candidates[b].depth; });
    std::set<std::string> taken; // upper case
    m_members.assign(candidates.size(), {});
    for (const std::size_t k : order) {
        const Candidate& candidate = candidates[k];
        ClaimMember& member = m_members[k];
        member.index = candidate.index;
        member.fileName = candidate.flatName;
        int number = 1;
        while (!taken.insert(text::UpperCase(member.fileName)).second) {
            do {
                member.fileName = NumberedName(candidate.flatName, ++number);
            } while (flatNames.count(text::UpperCase(member.fileName)) != 0);
        }
        member.renamed = member.fileName != candidate.flatName;
    }
}

// True when every member of the claim folder came out and the folder's counter table with them.
bool ClaimRestore::UnpackClaimFiles()
{
    m_reader.SetBaseFolder(m_newFolder);
    m_reader.ExtractFailed = false;
    for (const ClaimMember& member : m_members) {
        const zip::ExtractResult result = m_reader.ExtractAs(member.index, member.fileName);
        if (member.renamed && result.extracted > 0) {
            m_renamed.push_back(m_reader.Entries()[member.index].name + " as " + member.fileName);
        }
        if (result.aborted) {
            break;
        }
    }
    return !m_reader.ExtractFailed && FileExistsNoCase(m_newFolder, "autoincs.db");
}

void ClaimRestore::TellRenamedFiles()
{
    if (m_renamed.empty()) {
        return;
    }
    std::string message = "Some files of claim " + m_claimNumber
        + " have the same name as another file of the archive in another folder. They were restored into " + m_newFolder
        + " under new names:";
    for (const std::string& line : m_renamed) {
        message += "\r\n" + line;
    }
    m_env.Notice().ShowMessage(MessageKind::Information, message);
}

void ClaimRestore::DropIncompleteClaim()
{
    const std::string claimNumber = m_local->FieldByName("claimnumber").AsText();
    m_env.Notice().ShowMessage(
        MessageKind::Error,
        claimNumber + (m_reader.ExtractFailed ? " is corrupted in archive." : " is missing from archive.")
            + (m_reader.LocalFailure.empty() ? std::string() : "\r\n" + m_reader.LocalFailure));
    if (m_local->FindKey(m_newID)) {
        m_local->Delete();
        m_local->Flush();
    }
    m_recordPosted = false;
    m_local->Close();
    m_arcs->Close();
    RemoveClaimFolder(m_env, m_newFolder);
    m_folderMade = false;
    m_claimsTable.Refresh();
}

// The claim folder's own copy of its record follows the new key, box and folder; its server
// identity stays as the archive brought it.
void ClaimRestore::UpdateFolderClaimRecord()
{
    m_local->Close();
    m_arcs->Close();
    m_claimsTable.Refresh();

    Table own(m_newFolder, "Claims.db");
    own.Open(OpenMode::Shared);
    own.First();
    if (own.RecordCount() >= 1) {
        own.Edit();
        own.FieldByName("ClaimID").SetInteger(m_newID);
        own.FieldByName("BoxID").SetInteger(m_boxID);
        own.FieldByName("ClaimDir").SetText(m_claimDir);
        own.FieldByName("ClaimSubDir").SetText(m_newName);
        if (paradox::Field* version = own.FindField("DB_Version")) {
            version->SetInteger(0);
        }
        own.Post();
        own.Flush();
    }
    own.Close();
}

void ClaimRestore::ReplaceOldClaim()
{
    if (!m_claimsTable.FindKey(m_localClaimID)) {
        return;
    }
    const std::string oldDir = m_claimsTable.FieldByName("ClaimDir").AsText();
    const std::string oldSubdir = m_claimsTable.FieldByName("ClaimSubDir").AsText();
    // The old folder is emptied and removed below, so it must be the claim's own: a folder
    // strictly below the claims directory, never one that a link leads out to.
    const upload::ClaimFolder old = upload::FindClaimFolder(m_claimsDir, oldDir, oldSubdir);
    const bool hasFolder = old.state == upload::ClaimFolder::State::Found;
    const std::string oldFolder = hasFolder ? old.path : std::string();
    if (old.state == upload::ClaimFolder::State::Refused) {
        m_env.Notice().ShowMessage(MessageKind::Error,
                                   "The folder of the replaced claim " + std::to_string(m_localClaimID)
                                       + " was left as it is: " + old.problem + ".");
    }
    if (hasFolder && !FileExistsNoCase(m_newFolder, "image.db") && FileExistsNoCase(oldFolder, "image.db")
        && !CopyClaimComponent(m_env, oldFolder, m_newFolder, "image.*")) {
        // The old folder holds the only copy of the claim's pictures: replacing the claim now
        // would remove it with them.
        throw FileError("The image tables of claim " + std::to_string(m_localClaimID) + " could not be copied from "
                        + oldFolder + " into the new claim folder, so the claim stays as it was, with its image "
                        + "tables in " + oldFolder + ".");
    }
    try {
        m_claimsTable.Delete();
    } catch (const std::exception&) {
        // A delete cut short by the disk may already have taken the old record out of the table.
        // Then the new claim is the only one left and must stay; only an old record seen still
        // there lets the take-back remove the new one.
        if (!OldRecordStillThere()) {
            m_committed = true;
            m_oldFolderKept = oldFolder;
        }
        throw;
    }
    // From here the new claim is the only one: taking it back now would lose the claim.
    m_committed = true;
    m_claimsTable.Flush();
    if (!hasFolder) {
        return;
    }
    try {
        RemoveClaimFolder(m_env, oldFolder);
    } catch (const std::exception& e) {
        m_env.Notice().ShowMessage(MessageKind::Error,
                                   "The folder " + oldFolder
                                       + " of the replaced claim could not be removed, nor listed "
                                       + "for removal in deldir:\r\n" + e.what() + "\r\nPlease remove it by hand.");
    }
}

bool ClaimRestore::OldRecordStillThere() noexcept
{
    try {
        m_claimsTable.Refresh();
        return m_claimsTable.FindKey(m_localClaimID);
    } catch (const std::exception&) {
        // Unknown: keeping both claims loses nothing, taking the new one back might.
        return false;
    }
}

void ClaimRestore::CloseTables() noexcept
{
    try {
        if (m_local) {
            m_local->Close();
        }
        if (m_arcs) {
            m_arcs->Close();
        }
    } catch (const std::exception&) {
        // Closing only drops an unposted edit and the file locks; nothing is left to report.
    }
}

void ClaimRestore::TakeBack(const std::string& reason) noexcept
{
    CloseTables();
    std::vector<std::string> leftovers;
    if (!m_committed) {
        try {
            if (m_appending) {
                m_claimsTable.Cancel();
                m_appending = false;
            }
            if (m_recordPosted) {
                m_claimsTable.Refresh();
                if (m_claimsTable.FindKey(m_newID)) {
                    m_claimsTable.Delete();
                    m_claimsTable.Flush();
                }
                m_recordPosted = false;
            }
        } catch (const std::exception& e) {
            leftovers.push_back("The claims table keeps the unfinished record with ClaimID " + std::to_string(m_newID)
                                + ": " + e.what());
        }
        if (m_folderMade) {
            try {
                RemoveClaimFolder(m_env, m_newFolder);
            } catch (const std::exception& e) {
                leftovers.push_back("The folder " + m_newFolder + " could not be removed: " + e.what());
            }
            m_folderMade = false;
        }
    }
    DeleteFolderFiles(m_privateDir, "arcs.*");

    std::string message = (m_claimNumber.empty() ? std::string("The claim") : "Claim " + m_claimNumber)
        + " could not be restored:\r\n" + reason + "\r\n";
    if (m_committed) {
        message += "The claim was restored as claim " + std::to_string(m_newID) + " in " + m_newFolder + ".";
        if (!m_oldFolderKept.empty()) {
            message += "\r\nThe folder " + m_oldFolderKept + " of the replaced claim was left as it is.";
        }
    } else {
        message += "Nothing of it was kept; the downloaded file " + m_archivePath + " stays for another try.";
        for (const std::string& leftover : leftovers) {
            message += "\r\n" + leftover;
        }
    }
    try {
        m_env.Notice().ShowMessage(MessageKind::Error, message);
    } catch (const std::exception&) {
        // The notice port is the last resort; a failure to show the box must not undo the take-back.
    }
}

} // namespace

void RestoreClaimArchive(env::WarehouseEnv& env, const std::string& privateDir, paradox::Table& claimsTable,
                         const std::string& archivePath, int state, bool treatAsNew, std::int64_t localClaimID)
{
    // An archive that cannot be opened goes to the caller: nothing has been touched yet.
    TNewUnZip reader(archivePath);
    reader.SetRecreateFolders(false);
    reader.SetBaseFolder(privateDir);

    // The ARCS table must come out whole: a table half unpacked, or one left over from an earlier
    // call beside it, would make a claim record of the wrong data.
    bool arcsUnpacked = false;
    try {
        const std::vector<std::size_t> arcsMembers = RootMembers(reader, kArcsMask);
        const std::string refusal = RoomRefusal(reader, arcsMembers, privateDir);
        if (!refusal.empty()) {
            env.Notice().ShowMessage(MessageKind::Error, refusal);
            return;
        }
        if (DeleteFolderFiles(privateDir, kArcsMask)) {
            reader.ExtractFailed = false;
            for (const std::size_t index : arcsMembers) {
                if (reader.ExtractAs(index, reader.Entries()[index].name).aborted) {
                    break;
                }
            }
            arcsUnpacked = !reader.ExtractFailed && FileExistsNoCase(privateDir, "arcs.db");
        }
    } catch (const std::exception&) {
        arcsUnpacked = false;
    }
    if (!arcsUnpacked) {
        DeleteFolderFiles(privateDir, "arcs.*");
        env.Notice().ShowMessage(MessageKind::Error,
                                 "Invalid Archive File Cannot Extract Claim Information"
                                     + (reader.LocalFailure.empty() ? std::string() : "\r\n" + reader.LocalFailure));
        return;
    }

    ClaimRestore restore(env, privateDir, claimsTable, reader, archivePath, state, treatAsNew, localClaimID);
    try {
        restore.Run();
    } catch (const std::exception& e) {
        restore.TakeBack(e.what());
    }
}

} // namespace wh::restore
