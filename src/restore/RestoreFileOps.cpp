#include "restore/RestoreFileOps.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fnmatch.h>
#include <limits>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "env/WarehouseFuncs.h"
#include "restore/RestoreFileOpsDetail.h"
#include "support/Errors.h"
#include "support/paradox/Table.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"

namespace wh::restore {
namespace {

constexpr const char* kCounterTable = "AUTOINCS.DB";
constexpr const char* kDeldirTable = "deldir.db";
constexpr const char* kDeldirField = "Directory";
constexpr int kDeldirFieldSize = 255;

// A post that loses the race for the counter record to another copy of the tool (or the product)
// is retried this many times; each lost race means the other side got its number.
constexpr int kCounterAttempts = 200;

bool EntryExists(const std::string& path)
{
    struct stat info = {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool IsFolder(const std::string& path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The names in `folder` that match `mask`, sorted by their bytes so that the order (and with it
// which file a failed run stops at) does not depend on the file system. A missing folder has no
// entries; a folder that exists but cannot be read gives false and its errno in `error`.
bool ListMatching(const std::string& folder, const std::string& mask, std::vector<std::string>& names, int& error)
{
    names.clear();
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) {
        error = errno;
        return error == ENOENT || error == ENOTDIR;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && detail::MatchesMask(name, mask)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return true;
}

// The claim folder's error log and lock-out file belong to the folder they are in; a component
// copy never carries them to another claim.
bool IsClaimFolderOwnFile(const std::string& name)
{
    return text::EqualsIgnoreCase(name, "ERRORLOG.TXT") || text::EqualsIgnoreCase(name, "LOCKOUT.TXT");
}

// The files of `source` that a component copy takes: matching, no folders, not the folder's own.
std::vector<std::string> ComponentFiles(const std::string& source, const std::string& mask)
{
    std::vector<std::string> names;
    int error = 0;
    if (!ListMatching(source, mask, names, error)) {
        // Carrying on with nothing copied would report a component as copied that never was.
        throw FileError("Cannot read the folder \"" + source + "\". " + SystemErrorText(error));
    }
    std::erase_if(names, [&](const std::string& name) {
        return IsClaimFolderOwnFile(name) || IsFolder(platform::JoinPath(source, name));
    });
    return names;
}

// "image.*" -> "image.db": the component's main table.
std::string MainTableName(const std::string& mask)
{
    const std::size_t dot = mask.rfind('.');
    return (dot == std::string::npos ? mask : mask.substr(0, dot)) + ".db";
}

bool IsConcurrentChange(const TableError& error)
{
    return std::string_view(error.what()).find("changed or deleted by another user") != std::string_view::npos
        || std::string_view(error.what()).find("changed by another program") != std::string_view::npos;
}

std::vector<paradox::FieldDef> DeldirFields()
{
    // The product marks Directory as required; that is a validity check kept in a .VAL file, which
    // this engine does not write, so here it is an ordinary field.
    return { { kDeldirField, paradox::FieldType::Alpha, kDeldirFieldSize } };
}

// Makes deldir.db in `folder` unless it is there. The table is made under a private name and
// linked into place, so a table another process made in the meantime (with its records) is never
// replaced. A file system without hard links gets the table made in place.
void CreateDeldirTable(const std::string& folder)
{
    std::string scratch = platform::JoinPath(folder, ".deldir.XXXXXX");
    if (::mkdtemp(scratch.data()) == nullptr) {
        throw FileError("Cannot create a folder in \"" + folder + "\" for the table deldir. " + SystemErrorText(errno));
    }
    const std::string made = platform::JoinPath(scratch, kDeldirTable);
    bool linked = false;
    try {
        paradox::Table::Create(scratch, kDeldirTable, DeldirFields());
        linked = ::link(made.c_str(), platform::JoinPath(folder, kDeldirTable).c_str()) == 0 || errno == EEXIST;
    } catch (...) {
        ::unlink(made.c_str());
        ::rmdir(scratch.c_str());
        throw;
    }
    ::unlink(made.c_str());
    ::rmdir(scratch.c_str());
    if (!linked && !paradox::Table::Exists(folder, kDeldirTable)) {
        paradox::Table::Create(folder, kDeldirTable, DeldirFields());
    }
}

} // namespace

namespace detail {

bool MatchesMask(const std::string& name, const std::string& mask)
{
    // ASCII case folding, as every other name lookup under the claims directory does.
    const std::string upperName = text::UpperCase(name);
    const std::string upperMask = text::UpperCase(mask);
    if (::fnmatch(upperMask.c_str(), upperName.c_str(), FNM_NOESCAPE) == 0) {
        return true;
    }
    // "*.*" takes names without a dot too, and "image.*" takes "image", as on Windows.
    if (upperMask.size() >= 2 && upperMask.ends_with(".*")) {
        const std::string stem = upperMask.substr(0, upperMask.size() - 2);
        return ::fnmatch(stem.c_str(), upperName.c_str(), FNM_NOESCAPE) == 0;
    }
    return false;
}

std::string MakeTempClaimFolder(const std::string& parent, const std::string& extension,
                                const std::function<int()>& draw)
{
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        const std::string name = std::to_string(draw()) + extension;
        const std::string path = platform::JoinPath(parent, name);
        if (EntryExists(path)) {
            continue;
        }
        if (::mkdir(path.c_str(), 0777) == 0) {
            return name;
        }
        // Another process took the name between the check and the mkdir: draw again.
        if (errno != EEXIST) {
            throw FileError("Cannot create the claim folder \"" + path + "\". " + SystemErrorText(errno));
        }
    }
    return {};
}

} // namespace detail

bool DeleteFolderFiles(const std::string& folder, const std::string& mask)
{
    std::vector<std::string> names;
    int error = 0;
    if (!ListMatching(folder, mask, names, error)) {
        return false; // the folder exists but its files cannot even be seen, let alone deleted
    }
    for (const std::string& name : names) {
        const std::string path = platform::JoinPath(folder, name);
        if (IsFolder(path)) {
            continue;
        }
        // The first file that stays stops the rest, so the caller knows the folder is not empty.
        // A file that vanished meanwhile is gone all the same.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return false;
        }
    }
    return true;
}

std::string MakeTempClaimFolder(const std::string& parent, const std::string& extension)
{
    std::minstd_rand generator(
        static_cast<std::minstd_rand::result_type>(std::chrono::system_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<int> numbers(0, detail::kTempNameLargest);
    return detail::MakeTempClaimFolder(parent, extension, [&] { return numbers(generator); });
}

std::int32_t NextAutoIncValue(env::WarehouseEnv& env, int fieldIndex)
{
    const std::string folder = env.ClaimsPath("");
    std::minstd_rand jitter(static_cast<std::minstd_rand::result_type>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ ::getpid()));
    for (int attempt = 1;; ++attempt) {
        // Read and write in one optimistic step: the post checks that the record is still as it was
        // read, so a number another process took meanwhile makes this attempt fail, never repeat.
        paradox::Table table(folder, kCounterTable);
        table.Open(paradox::OpenMode::Shared);
        if (table.Eof()) {
            // The engine would start a new first record here, giving out number 1 again.
            throw TableError("Table \"" + table.Path() + "\": the counter table has no record, so no new number "
                             + "can be given out. Restore the table from the adjusting product's backup.");
        }
        paradox::Field& field = table.FieldAt(fieldIndex);
        const std::int64_t next = field.AsInteger() + 1;
        if (next > std::numeric_limits<std::int32_t>::max() || next < std::numeric_limits<std::int32_t>::min()) {
            throw TableError("Table \"" + table.Path() + "\": the counter \"" + field.Name()
                             + "\" has reached the largest number it can hold; no new " + "number can be given out.");
        }
        table.Edit();
        field.SetInteger(next);
        try {
            table.Post();
        } catch (const TableError& error) {
            if (!IsConcurrentChange(error) || attempt == kCounterAttempts) {
                throw;
            }
            table.Close();
            std::this_thread::sleep_for(std::chrono::microseconds(200 + jitter() % 2000));
            continue;
        }
        table.Flush(); // a number given out must stay given out, also after a crash
        table.Close();
        return static_cast<std::int32_t>(next);
    }
}

void RecordUndeletedFolder(env::WarehouseEnv& env, const std::string& folder)
{
    const std::string claimsDir = env.ClaimsPath("");
    if (folder.size() > static_cast<std::size_t>(kDeldirFieldSize)) {
        // The field would cut the path, and whatever removes the listed folders would then remove
        // some other folder.
        throw TableError("Table \"" + platform::JoinPath(claimsDir, kDeldirTable) + "\": the folder \"" + folder
                         + "\" could not be removed and its path is too long to be noted for later removal; "
                         + "remove it by hand.");
    }
    if (!paradox::Table::Exists(claimsDir, kDeldirTable)) {
        CreateDeldirTable(claimsDir);
    }
    paradox::Table table(claimsDir, kDeldirTable);
    table.Open(paradox::OpenMode::Shared);
    table.Append();
    table.FieldByName(kDeldirField).SetText(folder);
    table.Post();
    table.Flush();
    table.Close();
}

bool CopyEmptyClaimComponent(env::WarehouseEnv& env, const std::string& claimFolder, const std::string& mask)
{
    if (platform::FileExists(platform::ResolveNoCase(claimFolder, MainTableName(mask)))) {
        return true; // the claim has the component already
    }
    const std::string emptyFolder = env.ClaimsPath("Empty");
    try {
        for (const std::string& name : ComponentFiles(emptyFolder, mask)) {
            // Files the claim folder has already, in whatever case, stay as they are.
            if (EntryExists(platform::ResolveNoCase(claimFolder, name))) {
                continue;
            }
            env::CopyFileOrRaise(platform::JoinPath(emptyFolder, name), platform::JoinPath(claimFolder, name));
        }
    } catch (const Error& error) {
        env.Notice().ShowMessage(MessageKind::Error,
                                 std::string(error.what()) + "\r\n" + "CopyEmptyClaimComponent Failed," + "\r\n"
                                     + "Call Korvan Support.");
        return false;
    }
    return true;
}

bool CopyClaimComponent(env::WarehouseEnv& env, const std::string& sourceFolder, const std::string& targetFolder,
                        const std::string& mask)
{
    try {
        for (const std::string& name : ComponentFiles(sourceFolder, mask)) {
            // A target file of the same name in another case is the same file on Windows: replace
            // it rather than leave two spellings side by side.
            env::CopyFileOrRaise(platform::JoinPath(sourceFolder, name), platform::ResolveNoCase(targetFolder, name));
        }
    } catch (const Error& error) {
        env.Notice().ShowMessage(MessageKind::Error, std::string(error.what()) + "\r\n" + "Coy Claim Component Failed");
        return false;
    }
    return true;
}

} // namespace wh::restore
