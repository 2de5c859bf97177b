#include "auxfiles/AuxArchive.h"

#include "auxfiles/Bld_Claim_File.h"
#include "env/UserNotice.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/paradox/SecondaryIndex.h"
#include "support/paradox/Table.h"
#include "support/platform/DiskSpace.h"
#include "support/platform/FileLock.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"
#include "support/zip/ZipNames.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <memory>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wh::auxfiles {
namespace {

constexpr const char* kStagingPrefix = ".whaux-";
constexpr std::uint64_t kMostBytes = std::numeric_limits<std::uint64_t>::max();

// Whether a staging folder may go, and why not. Its old/ holds the local family files moved aside;
// they are needed only while unpacked members still wait in new/ (the swap did not finish and
// could not be undone). Otherwise everything in it is a copy of nothing the user has.
std::string KeepReasonOf(const std::string& folder)
{
    std::error_code error;
    const auto holdsFiles = [&](const std::string& sub) {
        return std::filesystem::is_directory(folder + sub, error) && !std::filesystem::is_empty(folder + sub, error);
    };
    if (holdsFiles("/old") && holdsFiles("/new")) {
        return "it keeps the earlier files of a family that could not be put back in " + folder + "/old";
    }
    return {};
}

// Removes a staging folder that may go: new/ first, so that old/ never outlives it with members
// still waiting. Returns why the folder is still there, or empty text when it is gone.
std::string RemoveStaging(const std::string& folder)
{
    const std::string keep = KeepReasonOf(folder);
    if (!keep.empty()) {
        return "The folder " + folder + " is left: " + keep + ".";
    }
    std::error_code error;
    std::filesystem::remove_all(folder + "/new", error);
    // The data tables go before their index and memo files, so that what a failure leaves is
    // never a table without its parts.
    struct stat old = {};
    if (!error && ::lstat((folder + "/old").c_str(), &old) == 0 && S_ISDIR(old.st_mode)) {
        for (const auto& entry : std::filesystem::directory_iterator(folder + "/old", error)) {
            if (text::UpperCase(entry.path().extension().string()) == ".DB"
                && !std::filesystem::remove(entry.path(), error)) {
                break;
            }
        }
    }
    if (!error) {
        std::filesystem::remove_all(folder, error);
    }
    if (error) {
        return "Cannot remove the folder " + folder + ": " + SystemErrorText(error.value());
    }
    return {};
}

// Opens and locks a staging folder so that no other process sweeps it away while it is used; -1
// when it cannot be opened, or another process holds it, or it went before the lock was taken.
int LockStaging(const std::string& folder, bool wait)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat info = {};
    if (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0 || ::fstat(fd, &info) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    if (info.st_nlink == 0) {
        ::close(fd);
        errno = ENOENT;
        return -1;
    }
    return fd;
}

bool IsStagingName(const std::string& name)
{
    const std::string prefix = kStagingPrefix;
    return name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0
        && std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) != 0; });
}

// A folder in the claims directory that unpacked members wait in until all of them are sound;
// being on the same file system, they reach their places by rename. It is locked for as long as it
// is used, and removed with what is left; a removal that fails is said, and the next extraction or
// build sweeps the folder away.
class StagingFolder
{
public:
    explicit StagingFolder(const std::string& claimsDir)
    {
        // A sweep in another process may remove the new folder before it is locked; then another
        // is made.
        for (int attempt = 1; m_lock < 0; ++attempt) {
            std::string pattern = claimsDir + "/" + kStagingPrefix + "XXXXXX";
            if (::mkdtemp(pattern.data()) == nullptr) {
                const int err = errno;
                throw FileError("Cannot create a folder in " + claimsDir + ": " + SystemErrorText(err));
            }
            m_lock = LockStaging(pattern, true);
            const int err = errno;
            struct stat info = {};
            if (m_lock < 0 && (attempt == 3 || ::lstat(pattern.c_str(), &info) == 0)) {
                ::rmdir(pattern.c_str());
                throw FileError("Cannot lock the folder " + pattern + ": " + SystemErrorText(err));
            }
            m_path = pattern;
        }
        for (const char* sub : { "/new", "/old" }) {
            if (::mkdir((m_path + sub).c_str(), 0700) != 0) {
                const int err = errno;
                (void)Remove();
                throw FileError("Cannot create a folder in " + m_path + ": " + SystemErrorText(err));
            }
        }
    }
    ~StagingFolder() { (void)Remove(); }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    std::string NewFolder() const { return m_path + "/new"; }
    std::string OldFolder() const { return m_path + "/old"; }

    // Removes the folder once; why it is still there, or empty text when it is gone.
    std::string Remove()
    {
        if (m_lock < 0) {
            return {};
        }
        std::string problem = RemoveStaging(m_path);
        ::close(m_lock);
        m_lock = -1;
        return problem;
    }

private:
    std::string m_path;
    int m_lock = -1;
};

// Removes the staging folders that an earlier extraction left in the claims directory (its
// removal failed, or the process was ended), except those another process holds. Returns what is
// still there and why, one text a folder.
std::vector<std::string> SweepStagingFolders(const std::string& claimsDir)
{
    std::vector<std::string> problems;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(claimsDir.c_str()), &::closedir);
    if (!dir) {
        const int err = errno;
        problems.push_back("Cannot read the folder " + claimsDir + ": " + SystemErrorText(err));
        return problems;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (IsStagingName(entry->d_name)) {
            names.push_back(entry->d_name);
        }
    }
    for (const std::string& name : names) {
        const std::string folder = claimsDir + "/" + name;
        struct stat info = {};
        if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            continue; // not one of ours
        }
        const int lock = LockStaging(folder, false);
        if (lock < 0) {
            const int err = errno;
            if (err != EWOULDBLOCK && err != ENOENT) { // in use elsewhere, or already gone
                problems.push_back("Cannot remove the folder " + folder + ": " + SystemErrorText(err));
            }
            continue;
        }
        std::string problem = RemoveStaging(folder);
        ::close(lock);
        if (!problem.empty()) {
            problems.push_back(std::move(problem));
        }
    }
    return problems;
}

// Staging folders that stay behind are said, not hidden: they hold copies of tables, and the user
// may need to know where they are.
void ReportStaging(env::WarehouseEnv& env, const std::vector<std::string>& problems)
{
    if (problems.empty()) {
        return;
    }
    std::string text;
    for (const std::string& problem : problems) {
        text += (text.empty() ? "" : "\r\n") + problem;
    }
    env.Notice().ShowMessage(MessageKind::Warning, text);
}

std::string Stem(std::string_view name)
{
    const std::size_t dot = name.rfind('.');
    return std::string(dot == std::string_view::npos ? name : name.substr(0, dot));
}

bool MatchesAnyMask(const std::string& name, const std::vector<std::string>& masks)
{
    return std::any_of(masks.begin(), masks.end(),
                       [&](const std::string& mask) { return zip::MatchesMask(name, mask); });
}

// Why a member may not be unpacked into the claims directory, or empty text when it may. Only
// plain files with bare names of the kind's own families go in: anything else could leave the
// folder, plant a link, or overwrite a table the in-use test never looked at.
std::string RefusalOf(const zip::ZipEntry& entry, const AuxKind& kind)
{
    const std::string& name = entry.name;
    if (entry.isFolder || !zip::IsSafeMemberName(name) || name.find('/') != std::string::npos) {
        return "the member name " + name + " is not a bare file name";
    }
    constexpr std::uint8_t kUnixHost = 3;
    const std::uint32_t type = (entry.externalAttributes >> 16) & S_IFMT;
    if (entry.hostSystem == kUnixHost && type != 0 && type != S_IFREG) {
        return "the member " + name + " is a link or special file";
    }
    if (!MatchesAnyMask(name, kind.masks)) {
        return "the member " + name + " belongs to no " + kind.statusWord + " table";
    }
    return {};
}

// Every entry of the claims directory's root that belongs to one of the families (stems in
// upper case), lock and log files left alone: they belong to the table engine, not the family.
std::vector<std::string> LocalFamilyFiles(const std::string& claimsDir, const std::set<std::string>& families)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(claimsDir.c_str()), &::closedir);
    if (!dir) {
        const int err = errno;
        throw FileError("Cannot read the folder " + claimsDir + ": " + SystemErrorText(err));
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        struct stat info = {};
        if (name == "." || name == ".." || ::lstat((claimsDir + "/" + name).c_str(), &info) != 0
            || S_ISDIR(info.st_mode) || IsLockOrLogFile(name)) {
            continue;
        }
        for (const std::string& family : families) {
            if (zip::MatchesMask(name, family + ".*")) {
                names.push_back(name);
                break;
            }
        }
    }
    return names;
}

// Puts the unpacked members in place of the local families: the old files are moved aside first,
// so a rename that fails part way can be undone and the earlier family comes back whole.
void ReplaceFamilies(const std::string& claimsDir, const StagingFolder& staging,
                     const std::vector<std::string>& members, const std::set<std::string>& families)
{
    const std::vector<std::string> oldFiles = LocalFamilyFiles(claimsDir, families);
    std::vector<std::string> movedAside;
    std::vector<std::string> placed;
    const auto undo = [&] {
        for (const std::string& name : placed) {
            ::unlink((claimsDir + "/" + name).c_str());
        }
        for (const std::string& name : movedAside) {
            ::rename((staging.OldFolder() + "/" + name).c_str(), (claimsDir + "/" + name).c_str());
        }
    };
    for (const std::string& name : oldFiles) {
        if (::rename((claimsDir + "/" + name).c_str(), (staging.OldFolder() + "/" + name).c_str()) != 0) {
            const int err = errno;
            undo();
            throw FileError("Cannot replace " + claimsDir + "/" + name + ": " + SystemErrorText(err));
        }
        movedAside.push_back(name);
    }
    for (const std::string& name : members) {
        // rename replaces a link at the target itself; it never writes through it.
        if (::rename((staging.NewFolder() + "/" + name).c_str(), (claimsDir + "/" + name).c_str()) != 0) {
            const int err = errno;
            undo();
            throw FileError("Cannot write " + claimsDir + "/" + name + ": " + SystemErrorText(err));
        }
        placed.push_back(name);
    }
}

// The member that is the family's data table (its .DB, in any spelling); empty text when the
// archive holds none.
std::string DataTableOf(const std::string& family, const std::vector<std::string>& members)
{
    for (const std::string& name : members) {
        if (text::UpperCase(name) == family + ".DB") {
            return name;
        }
    }
    return {};
}

bool HoldsMember(const std::vector<std::string>& members, const std::string& wanted)
{
    const std::string upper = text::UpperCase(wanted);
    return std::any_of(members.begin(), members.end(),
                       [&](const std::string& name) { return text::UpperCase(name) == upper; });
}

// Why an unpacked table cannot take the place of the local one, or empty text when the engine
// reads it whole: its header and block chain (opening walks them), its primary and maintained
// secondary indexes against the records, and every memo and blob value of every record. A table
// the adjusting product could not open must never replace one it can.
std::string DamageOf(const std::string& folder, const std::string& dataTable, const std::vector<std::string>& members)
{
    try {
        paradox::Table table(folder, dataTable);
        table.Open(paradox::OpenMode::Shared);
        const paradox::Table::CheckReport report = table.Check();
        if (!report.differences.empty()) {
            return report.differences.front();
        }
        // Check passes over an index file it cannot open at all; such a file is damaged, not
        // merely of a form this engine does not keep.
        for (paradox::SecondaryIndex* index : table.SecondaryIndexes()) {
            if (index->Rows() == nullptr) {
                return "its secondary index " + index->FileName() + " cannot be read: " + index->Unsupported();
            }
        }
        bool hasBlobs = false;
        for (const auto& field : table.Fields()) {
            hasBlobs = hasBlobs || field->IsBlob();
        }
        if (hasBlobs && !HoldsMember(members, Stem(dataTable) + ".MB")) {
            return "it has memo fields but the archive holds no " + Stem(dataTable) + ".MB";
        }
        for (table.First(); !table.Eof(); table.Next()) {
            for (const auto& field : table.Fields()) {
                if (field->IsBlob()) {
                    (void)field->AsBytes();
                }
            }
        }
        table.Close();
    } catch (const Error& error) {
        return error.what();
    }
    return {};
}

// Records a refusal on the reader as its failure handler would, and stops the extraction.
[[noreturn]] void Refuse(TNewUnZip& reader, const std::string& name, int code, const std::string& message)
{
    reader.Failed = true;
    reader.FailureText = FailureRecord(name, zip::Operation::Extract, code, message);
    throw ArchiveError("Cannot extract archive " + reader.ArchivePath() + ": " + message);
}

} // namespace

const std::array<AuxKind, 8>& AuxKinds()
{
    static const std::array<AuxKind, 8> kinds = { {
        { 1,
          "PHB",
          "Phone Book",
          "Phone Book",
          "PHB.PHB",
          "PHB.AUX",
          { "mtadds.*" },
          "mtadds.DB",
          "Korvan Phone Book WareHouse" },
        { 2,
          "ACT",
          "Activities",
          "Activity",
          "ACT.ACT",
          "ACT.AUX",
          { "mtaction.*" },
          "mtaction.DB",
          "Korvan Activity WareHouse" },
        { 3,
          "TPL",
          "Templates",
          "Template",
          "TPL.TPL",
          "TPL.AUX",
          { "rpttmpgr.*", "rpttmpl2.*" },
          "rpttmpgr.DB",
          "Korvan Templates WareHouse" },
        { 4,
          "ART",
          "Adhoc Reports",
          "Adhoc Report",
          "ART.ART",
          "ART.AUX",
          { "mtadhocd.*", "mtadhocf.*", "mtadhocs.*" },
          "mtadhocd.DB",
          "Korvan Adhoc Reports WareHouse" },
        { 5,
          "APT",
          "Appointments",
          "Appointment Book",
          "APT.APT",
          "APT.AUX",
          { "mtappt.*" },
          "mtappt.DB",
          "Korvan Appointment Book WareHouse" },
        { 6,
          "DIA",
          "Diary Items",
          "Diary",
          "DIA.DIA",
          "DIA.AUX",
          { "mtdiaryl.*", "mtdiarys.*", "mtdiaryp.*" },
          "mtdiaryl.DB",
          "Korvan Diary WareHouse" },
        { 7,
          "FEE",
          "Fee Schedule",
          "Fee Schedule",
          "FEE.FEE",
          "FEE.AUX",
          { "mtschdat.*", "mtschidx.*" },
          "mtschdat.DB",
          "Korvan Fee Schedule WareHouse" },
        { 8,
          "CDI",
          "Custom DB Items",
          "Custom Database Items",
          "CDI.CDI",
          "CDI.AUX",
          { "Custom.*", "CustomCat.*" },
          "Custom.DB",
          "Korvan Custom Database Items WareHouse" },
    } };
    return kinds;
}

const AuxKind& AuxKindByNumber(int number)
{
    if (number < 1 || number > static_cast<int>(AuxKinds().size())) {
        throw AssertionError("AuxArchive", __LINE__);
    }
    return AuxKinds()[static_cast<std::size_t>(number - 1)];
}

const AuxKind* FindAuxKind(std::string_view code)
{
    for (const AuxKind& kind : AuxKinds()) {
        if (code == kind.code) {
            return &kind;
        }
    }
    return nullptr;
}

int CheckAuxTableFree(env::WarehouseEnv& env, int kind, int purpose)
{
    const AuxKind& info = AuxKindByNumber(kind);
    paradox::Table table(env.GetClaimsDir(), info.testTable);
    try {
        table.Open(paradox::OpenMode::Exclusive);
        table.Close();
        return 0;
    } catch (const TableError&) {
        // Only a lock another program holds means the database is in use; any other failure (the
        // disk, the file's rights, a damaged header) is an error that names the file and why.
        platform::FileLock probe;
        const std::string dbPath = platform::ResolveNoCase(env.GetClaimsDir(), info.testTable);
        if (probe.Acquire(dbPath, platform::FileLock::Mode::Exclusive, false)
            != platform::FileLock::Outcome::HeldElsewhere) {
            throw;
        }
    }
    table.Open(paradox::OpenMode::Shared);
    env.Notice().ShowMessage(MessageKind::Warning,
                             "Database table \"" + text::UpperCase(info.testTable) + "\" is in use.\r\n"
                                 + (purpose == AuxBuild ? "Cannot create archive to store, Please try later."
                                                        : "Cannot unarchive to database directory, Please try later."));
    table.Close();
    return 2;
}

int BuildAuxArchive(env::WarehouseEnv& env, int kind, const std::string& path)
{
    const AuxKind& info = AuxKindByNumber(kind);
    struct stat existing = {};
    if (::lstat(path.c_str(), &existing) == 0 && ::unlink(path.c_str()) != 0) {
        env.Notice().ShowMessage(MessageKind::Warning,
                                 "Cannot Delete File : " + text::UpperCase(path)
                                     + "\r\nPlease contact your system administrator to correct this problem.");
        return 2;
    }
    try {
        const int free = CheckAuxTableFree(env, kind, AuxBuild);
        if (free != 0) {
            return free;
        }
        const std::string claimsDir = env.GetClaimsDir();
        ReportStaging(env, SweepStagingFolders(claimsDir));
        TNewZip writer(path);
        writer.SetComment(kAuxArchiveComment);
        for (const std::string& mask : info.masks) {
            writer.AddFiles(claimsDir, mask, false);
        }
        for (const std::string& mask : info.masks) {
            writer.SetMemberComment(mask, info.memberComment);
        }
        writer.Close();
        if (writer.Failed) {
            // A family without one of its files would later replace a sound local family; such an
            // archive is not sent.
            ::unlink(path.c_str());
            throw ArchiveError(writer.FailureText);
        }
    } catch (const Error& error) {
        env.Notice().ShowMessage(MessageKind::Error, error.what());
        return 1;
    }
    return 0;
}

int ExtractAuxArchive(env::WarehouseEnv& env, int kind, const std::string& path, std::string* reason)
{
    const AuxKind& info = AuxKindByNumber(kind);
    const int free = CheckAuxTableFree(env, kind, AuxExtract);
    if (free != 0) {
        return free;
    }
    const std::string claimsDir = env.GetClaimsDir();
    ReportStaging(env, SweepStagingFolders(claimsDir));
    TNewUnZip reader(path);
    reader.Failed = false;
    std::unique_ptr<StagingFolder> staging;
    int result = 0;
    try {
        std::vector<std::string> members;
        std::set<std::string> families;
        std::set<std::string> seen;
        std::uint64_t declared = 0;
        for (const zip::ZipEntry& entry : reader.Entries()) {
            if (IsLockOrLogFile(entry.name)) {
                continue; // the reader's filter leaves these out
            }
            const std::string refusal = RefusalOf(entry, info);
            if (!refusal.empty()) {
                Refuse(reader, entry.name, zip::UnsafeName, refusal);
            }
            if (!seen.insert(text::UpperCase(entry.name)).second) {
                Refuse(reader, entry.name, zip::DuplicateName, "the archive holds " + entry.name + " twice");
            }
            // Added so that crafted sizes cannot wrap around to a small sum.
            declared = entry.size > kMostBytes - declared ? kMostBytes : declared + entry.size;
            members.push_back(entry.name);
            families.insert(text::UpperCase(Stem(entry.name)));
        }
        // A family comes whole or not at all: without its .DB the local table would be lost, and
        // without the test table the kind could never be fetched again.
        for (const std::string& family : families) {
            if (DataTableOf(family, members).empty()) {
                const auto member = std::find_if(members.begin(), members.end(), [&](const std::string& name) {
                    return text::UpperCase(Stem(name)) == family;
                });
                Refuse(reader, *member, zip::BadMember,
                       "the archive holds " + *member + " without its table " + Stem(*member) + ".DB");
            }
        }
        if (!HoldsMember(members, info.testTable)) {
            Refuse(reader, path, zip::BadMember,
                   std::string("the archive holds no ") + info.testTable + ", the main table of the " + info.statusWord
                       + " database");
        }
        if (declared > platform::FreeBytes(claimsDir)) {
            Refuse(reader, path, zip::TooLarge,
                   "its members claim " + std::to_string(declared) + " bytes, more than " + claimsDir + " has free");
        }

        staging = std::make_unique<StagingFolder>(claimsDir);
        reader.SetRecreateFolders(false);
        reader.SetBaseFolder(staging->NewFolder());
        const zip::ExtractResult extracted = reader.Extract("*.*");
        if (reader.Failed || extracted.aborted) {
            throw ArchiveError(reader.FailureText);
        }
        for (const std::string& name : members) {
            struct stat unpacked = {};
            if (::lstat((staging->NewFolder() + "/" + name).c_str(), &unpacked) != 0 || !S_ISREG(unpacked.st_mode)) {
                throw ArchiveError("Cannot extract " + name + " from archive " + path);
            }
        }
        for (const std::string& family : families) {
            const std::string dataTable = DataTableOf(family, members);
            std::string damage = DamageOf(staging->NewFolder(), dataTable, members);
            if (!damage.empty()) {
                // The engine names the unpacked file in its hidden folder; the member's name is
                // what the user knows.
                for (std::size_t at; (at = damage.find(staging->NewFolder() + "/")) != std::string::npos;) {
                    damage.erase(at, staging->NewFolder().size() + 1);
                }
                Refuse(reader, dataTable, zip::BadMember, "its table " + dataTable + " is damaged: " + damage);
            }
        }
        ReplaceFamilies(claimsDir, *staging, members, families);
    } catch (const Error& error) {
        if (reason != nullptr) {
            *reason = error.what();
        }
        env.Notice().ShowMessage(MessageKind::Error, kInvalidAuxArchive);
        result = 1;
    }
    if (staging) {
        const std::string problem = staging->Remove();
        ReportStaging(env, problem.empty() ? std::vector<std::string> {} : std::vector<std::string> { problem });
    }
    return result;
}

} // namespace wh::auxfiles
