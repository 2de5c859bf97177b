// Backup and restore: the records (SQLite online backup, or pg_dump and pg_restore), hard links of
// the store taken at the same moment, and the certificate the workstations know.

#include "Backup.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "DataFolder.h"
#include "PostgresWarehouseStore.h"
#include "SqliteWarehouseStore.h"
#include "WarehouseStore.h"

namespace wh::server {
namespace {

namespace fs = std::filesystem;

// Runs a program (found on PATH) to its end; its exit code, or -1 when it could not be started.
int RunProgram(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
    if (rc != 0) {
        throw std::runtime_error("cannot run " + argv[0] + ": " + std::strerror(rc));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a backup holds beside the records: the certificate the workstations know, and the store.
constexpr const char* kCertificateFiles[] = { "server.crt", "server.key" };
constexpr const char* kSqliteRecords = "warehouse.db";
constexpr const char* kPostgresRecords = "records.pgdump";

// Whether a path of the store folder belongs in a backup: not the uploads still coming in, nor a
// health check's probe.
bool BelongsInBackup(const fs::path& relative)
{
    const std::string first = relative.begin()->string();
    return first != "incoming" && first.rfind(".health-", 0) != 0;
}

// Hard links of every file of `from` under `to`, which take no time and keep the content a file
// had: the server replaces a stored file by renaming a new one over it, never by writing into it.
// Where a link cannot be made (another file system) the file is copied.
void LinkTree(const fs::path& from, const fs::path& to)
{
    fs::create_directories(to);
    if (!fs::exists(from)) {
        return;
    }
    for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path relative = fs::relative(it->path(), from);
        if (!BelongsInBackup(relative)) {
            it.disable_recursion_pending();
            continue;
        }
        const fs::path target = to / relative;
        if (it->is_directory()) {
            fs::create_directories(target);
        } else if (it->is_regular_file()) {
            std::error_code linkError;
            fs::create_hard_link(it->path(), target, linkError);
            if (linkError) {
                fs::copy_file(it->path(), target);
            }
        }
    }
}

void CopyTree(const fs::path& from, const fs::path& to)
{
    fs::create_directories(to);
    if (fs::exists(from)) {
        fs::copy(from, to, fs::copy_options::recursive);
    }
}

// An empty or new folder for a backup or a restore; false when it holds something.
bool IsEmptyOrNew(const std::string& folder)
{
    return !fs::exists(folder) || (fs::is_directory(folder) && fs::is_empty(folder));
}

// A folder of the data folder's for a moment, removed however the backup ends.
class StagingFolder
{
public:
    explicit StagingFolder(const std::string& dataDir)
    {
        std::string pattern = dataDir + "/.backup-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("cannot make a folder in " + dataDir + ": " + std::strerror(errno));
        }
        m_path = pattern;
    }
    ~StagingFolder()
    {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

} // namespace

int Backup(const std::string& dataDir, const std::string& database, const std::string& dest)
{
    const std::string within = fs::weakly_canonical(dest).string() + "/";
    if (within.rfind(fs::weakly_canonical(dataDir).string() + "/", 0) == 0) {
        throw std::runtime_error("the backup folder " + dest + " lies within the data folder " + dataDir
                                 + ": give one outside it");
    }
    if (!IsEmptyOrNew(dest)) {
        throw std::runtime_error("the backup folder " + dest + " is not empty: give a new or empty folder");
    }
    if (database.empty() && !fs::exists(dataDir + "/" + kSqliteRecords)) {
        throw std::runtime_error("there are no records in " + dataDir + " (" + kSqliteRecords
                                 + "): is it the data folder, or do the records live in PostgreSQL (--database)?");
    }
    fs::create_directories(dest);
    fs::permissions(dest, fs::perms::owner_all, fs::perm_options::replace);
    if (database.empty()) {
        // The records and hard links of the store are taken while writers wait, so that every
        // record has its file and every file the version its record names; the slow copy of the
        // files comes after, from the links.
        SqliteWarehouseStore store(dataDir + "/" + kSqliteRecords);
        const StagingFolder staging(dataDir);
        store.BackupTo(dest + "/" + kSqliteRecords, [&] { LinkTree(dataDir + "/store", staging.Path() + "/store"); });
        CopyTree(staging.Path() + "/store", dest + "/store");
    } else {
        // The same over PostgreSQL: the store is linked while writers wait, and pg_dump takes the
        // records as they were at that moment.
        PostgresWarehouseStore store(database, 2);
        const StagingFolder staging(dataDir);
        store.BackupMoment([&] { LinkTree(dataDir + "/store", staging.Path() + "/store"); },
                           [&](const std::string& snapshot) {
                               const std::string file = dest + "/" + kPostgresRecords;
                               std::cout << "records: pg_dump --format=custom --no-owner --file " << file
                                         << " --snapshot " << snapshot << " --dbname DATABASE" << std::endl;
                               if (RunProgram({ "pg_dump", "--format=custom", "--no-owner", "--file", file,
                                                "--snapshot", snapshot, "--dbname", database })
                                   != 0) {
                                   throw std::runtime_error(
                                       "pg_dump could not copy the records (its message is above)");
                               }
                           });
        CopyTree(staging.Path() + "/store", dest + "/store");
    }
    for (const char* name : kCertificateFiles) {
        if (fs::exists(dataDir + "/" + name)) {
            fs::copy_file(dataDir + "/" + name, dest + "/" + name);
        }
    }
    ::sync();
    std::cout << "backed up " << dataDir << " to " << dest << std::endl;
    return 0;
}

int Restore(const std::string& dataDir, const std::string& database, const std::string& source, bool force)
{
    const bool sqlite = fs::exists(source + "/" + kSqliteRecords);
    const bool postgres = fs::exists(source + "/" + kPostgresRecords);
    if (!sqlite && !postgres) {
        throw std::runtime_error(source + " is no backup of warehouse-server: it holds neither " + kSqliteRecords
                                 + " nor " + kPostgresRecords);
    }
    if (postgres && database.empty()) {
        throw std::runtime_error(source
                                 + " holds PostgreSQL records: give the database to restore them into with "
                                   "--database");
    }
    if (sqlite && !database.empty()) {
        throw std::runtime_error(source + " holds SQLite records: restore them without --database");
    }
    const std::string sourceWithin = fs::weakly_canonical(source).string() + "/";
    if (sourceWithin.rfind(fs::weakly_canonical(dataDir).string() + "/", 0) == 0) {
        throw std::runtime_error("the backup " + source + " lies within the data folder " + dataDir
                                 + ": move it out first");
    }
    if (!IsEmptyOrNew(dataDir)) {
        if (!force) {
            throw std::runtime_error("the data folder " + dataDir
                                     + " is not empty: restore into a new or empty one (or give --force to "
                                       "replace what it holds, with its servers stopped)");
        }
        for (const auto& entry : fs::directory_iterator(dataDir)) {
            fs::remove_all(entry.path());
        }
    }
    MakePrivateDataFolder(dataDir);
    if (postgres) {
        std::vector<std::string> restore { "pg_restore",           "--no-owner", "--exit-on-error",
                                           "--single-transaction", "--dbname",   database };
        if (force) {
            restore.insert(restore.end(), { "--clean", "--if-exists" });
        }
        restore.push_back(source + "/" + kPostgresRecords);
        if (RunProgram(restore) != 0) {
            throw std::runtime_error("pg_restore could not restore the records (its message is above; a database "
                                     "that already holds a warehouse needs --force)");
        }
    } else {
        fs::copy_file(source + "/" + kSqliteRecords, dataDir + "/" + kSqliteRecords);
    }
    CopyTree(source + "/store", dataDir + "/store");
    for (const char* name : kCertificateFiles) {
        if (fs::exists(source + "/" + name)) {
            fs::copy_file(source + "/" + name, dataDir + "/" + name);
        }
    }
    // Opening the records checks them, and brings those of an older version up to date.
    OpenWarehouseStore(database, dataDir);
    ::sync();
    std::cout << "restored " << source << " into " << dataDir << std::endl;
    return 0;
}

} // namespace wh::server
