// warehouse-server: the HTTPS warehouse the workstation tool uploads claims to.
//
//   warehouse-server --data DIR --listen HOST:PORT [--cert FILE --key FILE]
//   warehouse-server --data DIR add-user --company NAME --user NAME [--password PW] --company-id N
//                    --region-id N --office-id N --department-id N --user-id N
//   (without --password the password is read from standard input, so that it never shows in the
//   process list)

#include <CLI/CLI.hpp>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <openssl/ssl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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

// A request line's parts as they go into the log: bytes below 0x20, 0x7f and the backslash as
// \xHH, so that a request cannot forge or break log lines.
std::string ForLog(const std::string& text)
{
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
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

// TLS 1.2 and later with authenticated encryption only (every TLS 1.3 suite is).
void RestrictTls(SSL_CTX* context)
{
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(context,
                            "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                            "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                            "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305");
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
          std::string keyPath, const ServerLimits& limits)
{
    const ListenAddress address = ParseListen(listen);
    if (certPath.empty() != keyPath.empty()) {
        throw std::runtime_error("--cert and --key go together");
    }
    if (certPath.empty()) {
        certPath = dataDir + "/server.crt";
        keyPath = dataDir + "/server.key";
        if (!fs::exists(certPath) || !fs::exists(keyPath)) {
            WriteSelfSignedCertificate(certPath, keyPath, "localhost,127.0.0.1,::1," + address.bindHost);
        }
    }

    // SIGTERM and SIGINT are taken by one waiting thread, which stops the server; every other
    // thread (the request pool included) inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    httplib::SSLServer http(certPath.c_str(), keyPath.c_str());
    if (!http.is_valid()) {
        throw std::runtime_error("cannot use the certificate " + certPath + " with the key " + keyPath);
    }
    RestrictTls(http.ssl_context());
    WarehouseServer server(store, dataDir, limits);
    server.Install(http);
    // Answers go out at once instead of waiting for the client's delayed acknowledgement (40 ms a request).
    http.set_tcp_nodelay(true);
    http.set_read_timeout(60);
    http.set_write_timeout(60);
    http.set_logger([](const httplib::Request& request, const httplib::Response& response) {
        std::cerr << UtcTimestamp() << " " << request.remote_addr << " " << ForLog(request.method) << " "
                  << ForLog(request.path) << " " << response.status << "\n";
    });

    int port = address.port;
    if (port == 0) {
        port = http.bind_to_any_port(address.bindHost);
        if (port < 0) {
            throw std::runtime_error("cannot listen on " + address.host);
        }
    } else if (!http.bind_to_port(address.bindHost, port)) {
        throw std::runtime_error("cannot listen on " + listen);
    }

    std::atomic<bool> listenEnded { false };
    std::thread stopper([&] {
        int received = 0;
        sigwait(&stopSignals, &received);
        // A signal can come before the accept loop runs, and stopping a server that is not running
        // yet does nothing: wait until it runs (or has ended) before stopping it.
        while (!listenEnded && !http.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        http.stop();
    });
    std::cout << "listening on https://" << address.host << ":" << port << std::endl;
    const bool served = http.listen_after_bind();
    listenEnded = true;
    // Wakes the waiting thread when the server ended on its own.
    pthread_kill(stopper.native_handle(), SIGUSR1);
    stopper.join();
    return served ? 0 : 1;
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
    ServerLimits limits;
    app.add_option("--max-archive-bytes", limits.maxArchiveBytes,
                   "largest claim archive or auxiliary file taken (default 2 GiB)")
        ->check(CLI::Range(std::uint64_t { 22 }, std::uint64_t { 0xFFFFFFFFu }));
    app.add_option("--max-unused-claim-ids", limits.maxUnusedClaimIds,
                   "claim ids a company may hold with nothing stored under them (default 1000)")
        ->check(CLI::Range(std::int64_t { 1 }, std::int64_t { 1'000'000 }));

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
    CLI11_PARSE(app, argc, argv);

    ::umask(077);
    try {
        MakePrivateDataFolder(dataDir);
        if (addUser->parsed() && passwordOption->count() == 0) {
            password = ReadPasswordFromInput();
        }
        WarehouseStore store(dataDir + "/warehouse.db");
        if (addUser->parsed()) {
            return AddUser(store, account, password);
        }
        if (listen.empty()) {
            std::cerr << "warehouse-server: --listen HOST:PORT is needed to serve (or use add-user)\n";
            return 2;
        }
        return Serve(store, dataDir, listen, certPath, keyPath, limits);
    } catch (const std::exception& error) {
        std::cerr << "warehouse-server: " << error.what() << std::endl;
        return 1;
    }
}
