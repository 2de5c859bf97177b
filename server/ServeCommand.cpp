// Serving: the listening address and socket, the certificate (made at the first start), and the
// server's life from its start to the stop signal.

#include "ServeCommand.h"

#include <cerrno>
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
#include <stdexcept>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ServerCrypto.h"

namespace wh::server {
namespace {

namespace fs = std::filesystem;

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

} // namespace

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

int PrintCertificateFingerprint(const std::string& dataDir, const std::string& certPath)
{
    const std::string path = certPath.empty() ? dataDir + "/server.crt" : certPath;
    if (!fs::exists(path)) {
        std::cerr << "warehouse-server: there is no certificate " << path
                  << " yet: the server makes it at its first start\n";
        return 1;
    }
    std::cout << CertificateKeyFingerprint(ReadWholeFile(path)) << std::endl;
    return 0;
}

} // namespace wh::server
