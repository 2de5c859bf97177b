// warehouse-server: the HTTPS warehouse the workstation tool uploads claims to.
//
//   warehouse-server --data DIR --listen HOST:PORT [--cert FILE --key FILE]
//   warehouse-server --data DIR [--cert FILE] fingerprint
//   warehouse-server --data DIR add-user --company NAME --user NAME [--password PW] --company-id N
//                    --region-id N --office-id N --department-id N --user-id N
//   (without --password the password is read from standard input, so that it never shows in the
//   process list)

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "HttpFrontEnd.h"
#include "ServerCrypto.h"
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

// The password of add-user from standard input: its first line, without the line end.
std::string ReadPasswordFromInput()
{
    if (::isatty(STDIN_FILENO)) {
        std::cerr << "Password: " << std::flush;
    }
    std::string password;
    if (!std::getline(std::cin, password)) {
        throw std::runtime_error("no password on standard input (or give --password)");
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return password;
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

} // namespace

int main(int argc, char** argv)
{
    CLI::App app { "warehouse-server: the HTTPS warehouse for the claims upload tool" };
    std::string dataDir;
    std::string listen;
    std::string certPath;
    std::string keyPath;
    app.add_option("--data", dataDir, "data folder (created on first start)")->required();
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
    CLI::App* fingerprint = app.add_subcommand(
        "fingerprint", "print the SHA-256 of the certificate's public key, as the workstations show it");
    CLI11_PARSE(app, argc, argv);

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
        MakePrivateDataFolder(dataDir);
        if (addUser->parsed() && passwordOption->count() == 0) {
            password = ReadPasswordFromInput();
        }
        const std::unique_ptr<WarehouseStore> opened = OpenWarehouseStore(database, dataDir);
        WarehouseStore& store = *opened;
        if (addUser->parsed()) {
            return AddUser(store, account, password);
        }
        if (listen.empty()) {
            std::cerr << "warehouse-server: --listen HOST:PORT is needed to serve (or use add-user)\n";
            return 2;
        }
        return Serve(store, dataDir, listen, certPath, keyPath, limits, connectionLimits);
    } catch (const std::exception& error) {
        std::cerr << "warehouse-server: " << error.what() << std::endl;
        return 1;
    }
}
