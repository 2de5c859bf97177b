#include "HttpFrontEnd.h"

#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <netdb.h>
#include <optional>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "HttpExchange.h"
#include "WarehouseServer.h"
#include "WarehouseStore.h"

namespace wh::server {

namespace {

// TLS 1.2 and later with authenticated encryption only (every TLS 1.3 suite is).
constexpr const char* kTlsPriorities = "SECURE128:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-GCM:"
                                       "+AES-256-GCM:+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:"
                                       "+ECDHE-RSA";

// A body that went over its limit is read on for a while, so that the client gets the refusal
// rather than a broken connection; past this much the connection is simply closed.
constexpr std::uint64_t kMostDiscarded = 16 * 1024 * 1024;

using Clock = std::chrono::steady_clock;

// A body announced with its length, small enough to read and drop, and sent without waiting for
// "100 Continue" (a client that waits gets the refusal at once instead).
bool IsDrainable(const HttpRequest& head)
{
    const std::string length = head.Header("Content-Length");
    if (head.HeaderCount("Content-Length") != 1 || head.HeaderCount("Transfer-Encoding") != 0 || length.empty()
        || length.size() > 12 || length.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::uint64_t declared = std::stoull(length);
    return declared > 0 && declared <= kMostDiscarded && head.Header("Expect").empty();
}

std::string AddressText(const sockaddr* address)
{
    if (!address) {
        return "-";
    }
    char host[NI_MAXHOST] = "";
    const socklen_t length = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (::getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
        return "-";
    }
    return host;
}

// The address the proxy saw the request come from: the last entry of X-Forwarded-For, which the
// proxy itself wrote.
std::string ForwardedClient(const std::string& forwardedFor, const std::string& proxy)
{
    const std::size_t comma = forwardedFor.rfind(',');
    std::string client = comma == std::string::npos ? forwardedFor : forwardedFor.substr(comma + 1);
    client.erase(0, client.find_first_not_of(" \t"));
    client.erase(client.find_last_not_of(" \t") + 1);
    return client.empty() || client.size() > 64 ? proxy : client;
}

} // namespace

// One TCP connection, watched for its head deadline.
struct HttpFrontEnd::Connection
{
    int fd = -1;
    bool awaitingHead = true;
    bool cut = false;
    Clock::time_point since = Clock::now();
};

// One request on its way through the layer.
struct HttpFrontEnd::Exchange
{
    enum class Phase { Admitting, Receiving, Discarding, Working, Answered };

    std::string method;
    std::string path;
    std::string remoteAddress;
    Phase phase = Phase::Receiving;
    // A refused request whose small body is already on its way is read to its end before the
    // refusal goes out: closing a connection with unread data resets it, and the client could
    // lose the answer.
    bool drainable = false;
    std::unique_ptr<ServerRequest> request;
    std::optional<HttpResponse> response;
};

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

WorkerPool::WorkerPool(unsigned threads)
{
    for (unsigned i = 0; i < std::max(1u, threads); ++i) {
        m_threads.emplace_back([this] { Run(); });
    }
}

WorkerPool::~WorkerPool()
{
    Stop();
}

void WorkerPool::Submit(std::function<void()> job)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopping) {
            m_jobs.push_back(std::move(job));
            m_ready.notify_one();
            return;
        }
    }
    job();
}

void WorkerPool::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_ready.notify_all();
    for (std::thread& thread : m_threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

void WorkerPool::Run()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            m_ready.wait(lock, [&] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty()) {
                return;
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}

// The library's callbacks, with access to the front end's insides.
struct FrontEndCallbacks
{
    using Exchange = HttpFrontEnd::Exchange;
    using Connection = HttpFrontEnd::Connection;

    static MHD_Result CollectHeader(void* list, MHD_ValueKind, const char* name, const char* value)
    {
        static_cast<std::vector<std::pair<std::string, std::string>>*>(list)->emplace_back(name ? name : "",
                                                                                           value ? value : "");
        return MHD_YES;
    }

    static Connection* ConnectionOf(MHD_Connection* connection)
    {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return info ? static_cast<Connection*>(info->socket_context) : nullptr;
    }

    static MHD_Result Respond(MHD_Connection* connection, Exchange& exchange, const HttpResponse& answer)
    {
        exchange.phase = Exchange::Phase::Answered;
        int status = answer.status;
        MHD_Response* response = nullptr;
        if (!answer.filePath.empty()) {
            const int fd = ::open(answer.filePath.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat info = {};
            if (fd >= 0 && ::fstat(fd, &info) == 0) {
                response = MHD_create_response_from_fd64(static_cast<std::uint64_t>(info.st_size), fd);
            }
            if (!response) {
                std::cerr << "warehouse-server: cannot read the stored file " << answer.filePath << ": "
                          << std::strerror(errno) << std::endl;
                if (fd >= 0) {
                    ::close(fd);
                }
                return Respond(
                    connection, exchange,
                    WarehouseServer::RefusalAnswer(RequestError(500, "The server could not complete the request")));
            }
        } else {
            response = MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()),
                                                       MHD_RESPMEM_MUST_COPY);
        }
        if (!response) {
            return MHD_NO;
        }
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
        for (const auto& [name, value] : answer.headers) {
            MHD_add_response_header(response, name.c_str(), value.c_str());
        }
        if (answer.closeConnection) {
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        }
        const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
        MHD_destroy_response(response);
        std::cerr << UtcTimestamp() << " " << ForLog(exchange.remoteAddress) << " " << ForLog(exchange.method) << " "
                  << ForLog(exchange.path) << " " << status << "\n";
        return queued;
    }

    // A refusal from the request head or the sign-in, before the body: sent at once, closing the
    // connection, unless a small body is already on its way.
    static MHD_Result Refuse(MHD_Connection* connection, Exchange& exchange, HttpResponse answer)
    {
        if (exchange.drainable) {
            exchange.response = std::move(answer);
            exchange.phase = Exchange::Phase::Discarding;
            return MHD_YES;
        }
        answer.closeConnection = true;
        return Respond(connection, exchange, answer);
    }

    // Runs `work` on the worker pool while the connection waits; its answer, if any, is sent when
    // the connection comes back.
    static void Suspend(HttpFrontEnd& self, MHD_Connection* connection, Exchange& exchange,
                        std::function<void(Exchange&)> work)
    {
        MHD_suspend_connection(connection);
        self.m_workers.Submit([connection, &exchange, work = std::move(work)] {
            try {
                work(exchange);
            } catch (const RequestError& error) {
                exchange.response = WarehouseServer::RefusalAnswer(error);
            } catch (const std::exception& error) {
                std::cerr << "warehouse-server: " << error.what() << std::endl;
                exchange.response
                    = WarehouseServer::RefusalAnswer(RequestError(500, "The server could not complete the request"));
            }
            MHD_resume_connection(connection);
        });
    }

    static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                             const char* uploadData, std::size_t* uploadSize, void** context)
    {
        HttpFrontEnd& self = *static_cast<HttpFrontEnd*>(cls);
        auto* exchange = static_cast<Exchange*>(*context);
        if (!exchange) {
            return Begin(self, connection, url, method, context);
        }
        switch (exchange->phase) {
        case Exchange::Phase::Admitting:
            // Back from signing in: a refusal is sent at once and the body never read.
            if (exchange->response) {
                return Refuse(connection, *exchange, *exchange->response);
            }
            exchange->phase = Exchange::Phase::Receiving;
            if (*uploadSize == 0) {
                return MHD_YES;
            }
            [[fallthrough]];
        case Exchange::Phase::Receiving:
            if (*uploadSize > 0) {
                RequestBody& body = *exchange->request->body;
                body.Append(uploadData, *uploadSize);
                *uploadSize = 0;
                return body.Overflow() > kMostDiscarded ? MHD_NO : MHD_YES;
            }
            exchange->phase = Exchange::Phase::Working;
            Suspend(self, connection, *exchange,
                    [&self](Exchange& done) { done.response = self.m_server.Finish(*done.request); });
            return MHD_YES;
        case Exchange::Phase::Discarding:
            if (*uploadSize > 0) {
                *uploadSize = 0;
                return MHD_YES;
            }
            return Respond(connection, *exchange, *exchange->response);
        case Exchange::Phase::Working:
            return Respond(connection, *exchange, *exchange->response);
        case Exchange::Phase::Answered:
            break;
        }
        return MHD_YES;
    }

    static MHD_Result Begin(HttpFrontEnd& self, MHD_Connection* connection, const char* url, const char* method,
                            void** context)
    {
        {
            std::lock_guard lock(self.m_connectionsMutex);
            if (Connection* watched = ConnectionOf(connection)) {
                watched->awaitingHead = false;
            }
        }
        HttpRequest head;
        head.method = method ? method : "";
        head.path = url ? url : "";
        const MHD_ConnectionInfo* client = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        head.remoteAddress = AddressText(client ? client->client_addr : nullptr);
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, &head.headers);
        if (!self.m_limits.trustedProxy.empty() && head.remoteAddress == self.m_limits.trustedProxy) {
            head.remoteAddress = ForwardedClient(head.Header("X-Forwarded-For"), head.remoteAddress);
        }

        auto* exchange = new Exchange;
        *context = exchange;
        exchange->method = head.method;
        exchange->path = head.path;
        exchange->remoteAddress = head.remoteAddress;
        exchange->drainable = IsDrainable(head);
        if (const auto refusal = self.m_server.RefusalBeforeBody(head)) {
            return Refuse(connection, *exchange, WarehouseServer::RefusalAnswer(*refusal));
        }
        exchange->request = self.m_server.Begin(std::move(head));
        if (!WarehouseServer::TakesBody(*exchange->request)) {
            exchange->phase = Exchange::Phase::Receiving;
            return MHD_YES;
        }
        exchange->phase = Exchange::Phase::Admitting;
        Suspend(self, connection, *exchange, [&self](Exchange& admitted) { self.m_server.Admit(*admitted.request); });
        return MHD_YES;
    }

    static void Completed(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode)
    {
        HttpFrontEnd& self = *static_cast<HttpFrontEnd*>(cls);
        delete static_cast<Exchange*>(*context);
        *context = nullptr;
        std::lock_guard lock(self.m_connectionsMutex);
        if (Connection* watched = ConnectionOf(connection)) {
            watched->awaitingHead = true;
            watched->since = Clock::now();
        }
    }

    static void Notify(void* cls, MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code)
    {
        HttpFrontEnd& self = *static_cast<HttpFrontEnd*>(cls);
        std::lock_guard lock(self.m_connectionsMutex);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* watched = new Connection;
            const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            watched->fd = info ? info->connect_fd : -1;
            *socketContext = watched;
            self.m_connections.push_back(watched);
        } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            auto* watched = static_cast<Connection*>(*socketContext);
            std::erase(self.m_connections, watched);
            delete watched;
            *socketContext = nullptr;
        }
    }

    static void Log(void*, const char* format, va_list arguments)
    {
        char message[512];
        std::vsnprintf(message, sizeof message, format, arguments);
        std::string text = message;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        std::cerr << UtcTimestamp() << " http: " << ForLog(text) << "\n";
    }
};

HttpFrontEnd::HttpFrontEnd(WarehouseServer& server, int listenSocket, const std::string& certificatePem,
                           const std::string& keyPem, const ConnectionLimits& limits)
    : m_server(server)
    , m_limits(limits)
    , m_workers(limits.workerThreads)
    , m_certificate(certificatePem)
    , m_key(keyPem)
{
    const unsigned flags
        = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_TLS | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &FrontEndCallbacks::Access, this,
                                // The logger comes first, so that it takes every message of the library.
                                MHD_OPTION_EXTERNAL_LOGGER, &FrontEndCallbacks::Log, nullptr, MHD_OPTION_LISTEN_SOCKET,
                                listenSocket, MHD_OPTION_THREAD_POOL_SIZE, std::max(1u, limits.networkThreads),
                                MHD_OPTION_CONNECTION_LIMIT, limits.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                                limits.maxConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
                                static_cast<unsigned>(limits.idleTimeout.count()), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                                limits.connectionMemory, MHD_OPTION_NOTIFY_COMPLETED, &FrontEndCallbacks::Completed,
                                this, MHD_OPTION_NOTIFY_CONNECTION, &FrontEndCallbacks::Notify, this,
                                MHD_OPTION_HTTPS_MEM_KEY, m_key.c_str(), MHD_OPTION_HTTPS_MEM_CERT,
                                m_certificate.c_str(), MHD_OPTION_HTTPS_PRIORITIES, kTlsPriorities, MHD_OPTION_END);
    if (!m_daemon) {
        m_workers.Stop();
        throw std::runtime_error("cannot start the HTTPS service (is the certificate or key unusable?)");
    }
    m_watcher = std::thread([this] { WatchDeadlines(); });
}

HttpFrontEnd::~HttpFrontEnd()
{
    Stop();
}

void HttpFrontEnd::WatchDeadlines()
{
    std::unique_lock wait(m_watchMutex);
    while (!m_watchWake.wait_for(wait, std::chrono::milliseconds(250), [&] { return m_stopping; })) {
        const auto now = Clock::now();
        std::lock_guard lock(m_connectionsMutex);
        for (Connection* connection : m_connections) {
            // Shutting the socket down, not closing it: the library still owns the descriptor,
            // sees the end of the stream and closes the connection itself.
            if (connection->awaitingHead && !connection->cut && connection->fd >= 0
                && now - connection->since > m_limits.headDeadline) {
                ::shutdown(connection->fd, SHUT_RDWR);
                connection->cut = true;
            }
        }
    }
}

void HttpFrontEnd::Stop()
{
    if (!m_daemon) {
        return;
    }
    const MHD_socket listening = MHD_quiesce_daemon(m_daemon);
    // Every suspended connection is resumed by its job; the library must not stop with any waiting.
    m_workers.Stop();
    {
        std::lock_guard lock(m_watchMutex);
        m_stopping = true;
    }
    m_watchWake.notify_all();
    if (m_watcher.joinable()) {
        m_watcher.join();
    }
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    if (listening != MHD_INVALID_SOCKET) {
        ::close(listening);
    }
}

} // namespace wh::server
