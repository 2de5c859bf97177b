// warehouse-server: the HTTPS warehouse the workstation tool uploads claims to.
//
//   warehouse-server --data DIR --listen HOST:PORT [--cert FILE --key FILE]
//   warehouse-server --data DIR [--cert FILE] fingerprint
//   warehouse-server --data DIR add-user --company NAME --user NAME [--password PW] --company-id N
//                    --region-id N --office-id N --department-id N --user-id N
//   warehouse-server --data DIR users list|disable|enable|remove [--company NAME --user NAME]
//   warehouse-server --data DIR password --company NAME --user NAME [--password PW]
//   warehouse-server --data DIR backup DEST
//   warehouse-server --data DIR restore SRC [--force]
//   (without --password the password is read from standard input, so that it never shows in the
//   process list; typed on a terminal it is not echoed and asked twice)
//   --config FILE takes the options above the subcommands from a file, one "key = value" a line.

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "HttpFrontEnd.h"
#include "PostgresWarehouseStore.h"
#include "ServerCrypto.h"
#include "SqliteWarehouseStore.h"
#include "WarehouseServer.h"
#include "WarehouseStore.h"

namespace {

namespace fs = std::filesystem;
using namespace wh::server;

struct ListenAddress
{
    std::string host; // as given, brackets of an IPv6 address included
    std::string bindHost;
    int port = 0;
};

ListenAddress ParseListen(const std::string& text)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        throw std::runtime_error("--listen needs HOST:PORT, not \"" + text + "\"");
    }
    ListenAddress address;
    address.host = text.substr(0, colon);
    address.bindHost = address.host;
    if (address.bindHost.size() > 2 && address.bindHost.front() == '[' && address.bindHost.back() == ']') {
        address.bindHost = address.bindHost.substr(1, address.bindHost.size() - 2);
    }
    const std::string port = text.substr(colon + 1);
    std::size_t used = 0;
    try {
        address.port = std::stoi(port, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != port.size() || address.port < 0 || address.port > 65535) {
        throw std::runtime_error("--listen: \"" + port + "\" is not a port number");
    }
    return address;
}

// The terminal's settings while a password is typed without echo, for the signal handlers that
// put them back when the command is stopped halfway (Ctrl-C, a hang-up).
termios g_typingTerminal {};
volatile sig_atomic_t g_echoOff = 0;

extern "C" void RestoreEchoAndDie(int signal)
{
    if (g_echoOff) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_typingTerminal);
    }
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Echo off for as long as it lives; the terminal is put back however the reading ends.
class EchoOff
{
public:
    EchoOff()
    {
        if (::tcgetattr(STDIN_FILENO, &g_typingTerminal) != 0) {
            throw std::runtime_error(std::string("cannot read the terminal's settings: ") + std::strerror(errno));
        }
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            struct sigaction action = {};
            action.sa_handler = RestoreEchoAndDie;
            sigemptyset(&action.sa_mask);
            ::sigaction(kSignals[i], &action, &m_saved[i]);
        }
        termios quiet = g_typingTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        g_echoOff = 1;
        if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
            const int error = errno;
            Restore();
            throw std::runtime_error(std::string("cannot turn the terminal's echo off: ") + std::strerror(error));
        }
    }
    ~EchoOff() { Restore(); }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    void Restore()
    {
        if (g_echoOff) {
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_typingTerminal);
            g_echoOff = 0;
        }
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            ::sigaction(kSignals[i], &m_saved[i], nullptr);
        }
    }
    static constexpr int kSignals[] = { SIGINT, SIGTERM, SIGHUP, SIGQUIT };
    struct sigaction m_saved[std::size(kSignals)] = {};
};

std::string ReadLine(const char* what)
{
    std::string line;
    if (!std::getline(std::cin, line)) {
        throw std::runtime_error(std::string("no ") + what + " on standard input (or give --password)");
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// A password from standard input. On a terminal it is typed without echo, twice, so that a typing
// slip that cannot be seen does not become the password; otherwise it is the first line.
std::string ReadPasswordFromInput()
{
    if (!::isatty(STDIN_FILENO)) {
        return ReadLine("password");
    }
    std::string first;
    std::string second;
    {
        const EchoOff quiet;
        std::cerr << "Password: " << std::flush;
        first = ReadLine("password");
        std::cerr << "Password again: " << std::flush;
        second = ReadLine("password");
    }
    if (first != second) {
        throw std::runtime_error("the two passwords differ: nothing was changed");
    }
    return first;
}

// Hashes and claim data are the company's business only: the data folder is its owner's alone,
// and so is everything made in it.
void MakePrivateDataFolder(const std::string& dataDir)
{
    fs::create_directories(dataDir);
    struct stat info
    {
    };
    if (::stat(dataDir.c_str(), &info) == 0 && info.st_uid == ::geteuid() && (info.st_mode & 077) != 0) {
        fs::permissions(dataDir, fs::perms::owner_all, fs::perm_options::replace);
    }
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A listening socket on the address; port 0 takes a free one. Returns the socket and its port.
std::pair<int, int> Listen(const ListenAddress& address)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    const int rc
        = ::getaddrinfo(address.bindHost.empty() ? nullptr : address.bindHost.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        throw std::runtime_error("cannot listen on " + address.host + ": " + ::gai_strerror(rc));
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    std::string failure = "no address";
    for (const addrinfo* candidate = found; candidate; candidate = candidate->ai_next) {
        const int fd = ::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, candidate->ai_protocol);
        if (fd < 0) {
            failure = std::strerror(errno);
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, candidate->ai_addr, candidate->ai_addrlen) == 0 && ::listen(fd, 256) == 0) {
            sockaddr_storage bound = {};
            socklen_t length = sizeof bound;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
            const int boundPort = bound.ss_family == AF_INET6
                ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
                : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
            return { fd, boundPort };
        }
        failure = std::strerror(errno);
        ::close(fd);
    }
    throw std::runtime_error("cannot listen on " + address.host + ":" + port + ": " + failure);
}

int AddUser(WarehouseStore& store, Account account, const std::string& password)
{
    account.passwordHash = HashPassword(password);
    const AccountChange change = store.SaveAccount(account);
    std::cout << (change == AccountChange::Added ? "added user " : "updated user ") << account.companyName << "/"
              << account.userName << std::endl;
    return 0;
}

std::string AccountName(const std::string& company, const std::string& user)
{
    return company + "/" + user;
}

int ListUsers(WarehouseStore& store)
{
    std::cout << "account\tcompany-id\tregion-id\toffice-id\tdepartment-id\tuser-id\tstate\n";
    for (const Account& account : store.ListAccounts()) {
        std::cout << AccountName(account.companyName, account.userName) << '\t' << account.companyId << '\t'
                  << account.regionId << '\t' << account.officeId << '\t' << account.departmentId << '\t'
                  << account.userId << '\t' << (account.disabled ? "disabled" : "enabled") << '\n';
    }
    std::cout << std::flush;
    return 0;
}

int NoSuchAccount(const std::string& company, const std::string& user)
{
    std::cerr << "warehouse-server: there is no account " << AccountName(company, user)
              << " (warehouse-server users list shows them)" << std::endl;
    return 1;
}

int ChangePassword(WarehouseStore& store, const std::string& company, const std::string& user,
                   const std::string& password)
{
    std::optional<Account> account = store.FindAccount(company, user);
    if (!account) {
        return NoSuchAccount(company, user);
    }
    account->passwordHash = HashPassword(password);
    store.SaveAccount(*account);
    std::cout << "changed the password of " << AccountName(account->companyName, account->userName) << std::endl;
    return 0;
}

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

int Serve(WarehouseStore& store, const std::string& dataDir, const std::string& listen, std::string certPath,
          std::string keyPath, const ServerLimits& limits, const ConnectionLimits& connectionLimits)
{
    const ListenAddress address = ParseListen(listen);
    if (certPath.empty() != keyPath.empty()) {
        throw std::runtime_error("--cert and --key go together");
    }
    if (certPath.empty()) {
        certPath = dataDir + "/server.crt";
        keyPath = dataDir + "/server.key";
        // Servers sharing the data folder may start together: one makes the pair, the others
        // wait for it and use it, so that no server gets one's certificate with another's key.
        const int lock = ::open((dataDir + "/certificate.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
            throw std::runtime_error("cannot lock " + dataDir + "/certificate.lock: " + std::strerror(errno));
        }
        try {
            if (!fs::exists(certPath) || !fs::exists(keyPath)) {
                WriteSelfSignedCertificate(certPath, keyPath, "localhost,127.0.0.1,::1," + address.bindHost);
            }
        } catch (...) {
            ::close(lock);
            throw;
        }
        ::close(lock);
    }

    // SIGTERM and SIGINT are taken by this thread, which then stops the server; every other
    // thread (the network and worker threads included) inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const auto [socket, port] = Listen(address);
    // The health route checks that files can be made here.
    fs::create_directories(dataDir + "/store");
    WarehouseServer server(store, dataDir, limits);
    const std::string certificate = ReadWholeFile(certPath);
    HttpFrontEnd http(server, socket, certificate, ReadWholeFile(keyPath), connectionLimits);
    // What a workstation shows for this server, so that an administrator can compare.
    std::cout << "certificate key SHA-256: " << CertificateKeyFingerprint(certificate) << std::endl;
    std::cout << "listening on https://" << address.host << ":" << port << std::endl;
    int received = 0;
    sigwait(&stopSignals, &received);
    http.Stop();
    return 0;
}

std::string Trim(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

// Takes the options of `app` that the command line left out from a configuration file: one
// "key = value" a line, the keys the long option names without "--", "#" starting a comment line.
// The command line wins over the file; an unknown key or a bad value names the file and line.
void ApplyConfigFile(CLI::App& app, const std::string& path)
{
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read the configuration file " + path + ": " + std::strerror(errno));
    }
    std::map<std::string, int> seen;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const std::string text = Trim(line);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            throw std::runtime_error(where + "\"key = value\" expected, not \"" + text + "\"");
        }
        const std::string key = Trim(text.substr(0, equals));
        std::string value = Trim(text.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        CLI::Option* option = key.empty() || key == "config" || key == "help" || key.front() == '-'
            ? nullptr
            : app.get_option_no_throw("--" + key);
        if (!option) {
            throw std::runtime_error(where + "unknown key \"" + key + "\"");
        }
        if (const auto [earlier, first] = seen.emplace(key, number); !first) {
            throw std::runtime_error(where + "\"" + key + "\" was given already on line "
                                     + std::to_string(earlier->second));
        }
        if (option->count() > 0) {
            continue; // given on the command line
        }
        try {
            option->add_result(value);
            option->run_callback();
        } catch (const CLI::Error& error) {
            throw std::runtime_error(where + "bad value for \"" + key + "\": " + error.what());
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app { "warehouse-server: the HTTPS warehouse for the claims upload tool" };
    std::string configPath;
    app.add_option("--config", configPath,
                   "file of options, one \"key = value\" a line (keys: the long options without --)");
    std::string dataDir;
    std::string listen;
    std::string certPath;
    std::string keyPath;
    app.add_option("--data", dataDir, "data folder (created on first start)");
    app.add_option("--listen", listen, "address to serve, HOST:PORT (port 0 picks a free port)");
    app.add_option("--cert", certPath, "certificate file (PEM) instead of the generated one");
    app.add_option("--key", keyPath, "private key file (PEM) for --cert");
    std::string database;
    app.add_option("--database", database,
                   "records in PostgreSQL (postgresql://...) instead of DATA/warehouse.db; several servers may "
                   "share one database and one data folder");
    ServerLimits limits;
    app.add_option("--max-archive-bytes", limits.maxArchiveBytes,
                   "largest claim archive or auxiliary file taken (default 2 GiB)")
        ->check(CLI::Range(std::uint64_t { 22 }, std::uint64_t { 0xFFFFFFFFu }));
    app.add_option("--max-unused-claim-ids", limits.maxUnusedClaimIds,
                   "claim ids a company may hold with nothing stored under them (default 1000)")
        ->check(CLI::Range(std::int64_t { 1 }, std::int64_t { 1'000'000 }));
    ConnectionLimits connectionLimits;
    app.add_option("--max-connections", connectionLimits.maxConnections, "connections served at once (default 512)")
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--max-connections-per-address", connectionLimits.maxConnectionsPerAddress,
                   "connections served at once from one client address (default 128)")
        ->check(CLI::Range(1u, 100000u));
    app.add_option("--max-buffered-body-bytes", connectionLimits.maxBufferedBodyBytes,
                   "memory all JSON bodies being received may hold together; one user or address an eighth of it "
                   "(default 64 MiB)")
        ->check(CLI::Range(std::uint64_t { 1 } << 20, std::uint64_t { 1 } << 40));
    app.add_option("--trusted-proxy", connectionLimits.trustedProxy,
                   "address of a reverse proxy in front of the server, whose X-Forwarded-For names the client");

    Account account;
    std::string password;
    CLI::App* addUser = app.add_subcommand("add-user", "add an account, or update an existing one");
    addUser->add_option("--company", account.companyName, "company name")->required();
    addUser->add_option("--user", account.userName, "user name")->required();
    CLI::Option* passwordOption
        = addUser->add_option("--password", password, "password (read from standard input when not given)");
    addUser->add_option("--company-id", account.companyId, "company id")->required();
    addUser->add_option("--region-id", account.regionId, "region id")->required();
    addUser->add_option("--office-id", account.officeId, "office id")->required();
    addUser->add_option("--department-id", account.departmentId, "department id")->required();
    addUser->add_option("--user-id", account.userId, "the user's id on the server")->required();

    std::string company;
    std::string user;
    CLI::App* users = app.add_subcommand("users", "list the accounts, or disable, enable or remove one");
    users->require_subcommand(1);
    CLI::App* listUsers = users->add_subcommand("list", "list every account, one a line");
    std::map<std::string, CLI::App*> accountCommands;
    for (const auto& [name, what] :
         { std::pair { "disable", "refuse the account's sign-ins from now on (its claims stay)" },
           std::pair { "enable", "let a disabled account sign in again" },
           std::pair { "remove", "remove the account; the claims it stored stay its company's" } }) {
        CLI::App* command = users->add_subcommand(name, what);
        command->add_option("--company", company, "company name")->required();
        command->add_option("--user", user, "user name")->required();
        accountCommands[name] = command;
    }
    CLI::App* passwordCommand = app.add_subcommand("password", "change the password of an account");
    passwordCommand->add_option("--company", company, "company name")->required();
    passwordCommand->add_option("--user", user, "user name")->required();
    CLI::Option* newPasswordOption = passwordCommand->add_option(
        "--password", password, "the new password (read from standard input when not given)");

    std::string backupFolder;
    CLI::App* backup = app.add_subcommand(
        "backup", "copy the records and the store to a new or empty folder, also while the server runs");
    backup->add_option("DEST", backupFolder, "folder for the backup")->required();
    std::string restoreFolder;
    bool force = false;
    CLI::App* restore = app.add_subcommand("restore", "restore a backup into an empty or new data folder");
    restore->add_option("SRC", restoreFolder, "folder of the backup")->required();
    restore->add_flag("--force", force, "replace what the data folder (and database) already hold");
    CLI::App* fingerprint = app.add_subcommand(
        "fingerprint", "print the SHA-256 of the certificate's public key, as the workstations show it");
    CLI11_PARSE(app, argc, argv);

    try {
        if (!configPath.empty()) {
            ApplyConfigFile(app, configPath);
        }
    } catch (const std::exception& error) {
        std::cerr << "warehouse-server: " << error.what() << std::endl;
        return 2;
    }
    if (dataDir.empty()) {
        std::cerr << "warehouse-server: --data DIR is needed (on the command line or in the configuration file)\n";
        return 2;
    }

    if (fingerprint->parsed()) {
        try {
            const std::string path = certPath.empty() ? dataDir + "/server.crt" : certPath;
            if (!fs::exists(path)) {
                std::cerr << "warehouse-server: there is no certificate " << path
                          << " yet: the server makes it at its first start\n";
                return 1;
            }
            std::cout << CertificateKeyFingerprint(ReadWholeFile(path)) << std::endl;
            return 0;
        } catch (const std::exception& error) {
            std::cerr << "warehouse-server: " << error.what() << std::endl;
            return 1;
        }
    }

    ::umask(077);
    try {
        if (restore->parsed()) {
            return Restore(dataDir, database, restoreFolder, force);
        }
        if (backup->parsed()) {
            return Backup(dataDir, database, backupFolder);
        }
        MakePrivateDataFolder(dataDir);
        if (addUser->parsed() && passwordOption->count() == 0) {
            password = ReadPasswordFromInput();
        }
        const std::unique_ptr<WarehouseStore> opened = OpenWarehouseStore(database, dataDir);
        WarehouseStore& store = *opened;
        if (addUser->parsed()) {
            return AddUser(store, account, password);
        }
        if (passwordCommand->parsed()) {
            // Nobody types a new password twice for an account that is not there.
            if (!store.FindAccount(company, user)) {
                return NoSuchAccount(company, user);
            }
            if (newPasswordOption->count() == 0) {
                password = ReadPasswordFromInput();
            }
            return ChangePassword(store, company, user, password);
        }
        if (listUsers->parsed()) {
            return ListUsers(store);
        }
        for (const auto& [name, command] : accountCommands) {
            if (!command->parsed()) {
                continue;
            }
            const std::optional<Account> found = store.FindAccount(company, user);
            const bool changed = found
                && (name == "remove" ? store.RemoveAccount(company, user)
                                     : store.SetAccountDisabled(company, user, name == "disable"));
            if (!changed) {
                return NoSuchAccount(company, user);
            }
            const char* done = name == "remove" ? "removed " : name == "disable" ? "disabled " : "enabled ";
            std::cout << done << AccountName(found->companyName, found->userName) << std::endl;
            return 0;
        }
        if (listen.empty()) {
            std::cerr << "warehouse-server: --listen HOST:PORT is needed to serve (or use a command: add-user, "
                         "users, password, backup, restore, fingerprint)\n";
            return 2;
        }
        return Serve(store, dataDir, listen, certPath, keyPath, limits, connectionLimits);
    } catch (const std::exception& error) {
        std::cerr << "warehouse-server: " << error.what() << std::endl;
        return 1;
    }
}
