#include "HttpFrontEnd.h"

#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <netdb.h>
#include <optional>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tuple>
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

// A refused client may finish sending the body it had on the way for this long, however it paces
// its bytes; then the connection is closed.
constexpr auto kDrainTime = std::chrono::seconds(5);
// A body being taken in must keep up this rate, counted over each window of this length (or send
// all that is left within one), and be whole within the grace plus the time its announced length
// takes at that rate.
constexpr std::uint64_t kLeastBodyRate = 1024; // bytes per second
constexpr auto kBodyRateWindow = std::chrono::seconds(30);
constexpr auto kBodyGrace = std::chrono::seconds(60);
// Messages of the HTTP layer itself written at most in a second.
constexpr unsigned kLibraryLinesPerSecond = 20;

// The length a request announces for its body, or nothing (none given, or chunks).
std::optional<std::uint64_t> AnnouncedLength(const HttpRequest& head)
{
    const std::string length = head.Header("Content-Length");
    if (head.HeaderCount("Content-Length") != 1 || length.empty() || length.size() > 19
        || length.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(length);
}

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

// One TCP connection, watched for what it is waiting for.
struct HttpFrontEnd::Connection
{
    enum class Stage {
        Head, // the TLS handshake or a request head is awaited
        Body, // a body is being taken in
        Draining, // a refused request's body is being read and dropped
        Busy, // at work, or answering: the library's idle time-out applies
    };

    int fd = -1;
    std::string address;
    Clock::time_point opened = Clock::now();
    Stage stage = Stage::Head;
    bool cut = false;
    // Head: since when the head is awaited. Body: the start of the current rate window.
    Clock::time_point since = opened;
    // Body and Draining: when the connection is closed at the latest.
    Clock::time_point deadline = Clock::time_point::max();
    // Body: bytes taken in so far, and by the start of the window; the length announced, if any.
    std::uint64_t received = 0;
    std::uint64_t receivedByWindow = 0;
    std::optional<std::uint64_t> announced;
};

// One request on its way through the layer.
struct HttpFrontEnd::Exchange
{
    enum class Phase { Admitting, Receiving, Discarding, Working, Answered };

    ~Exchange()
    {
        if (budget && budgeted > 0) {
            budget->Give(budgetUser, remoteAddress, budgeted);
        }
    }

    std::string method;
    std::string path;
    std::string remoteAddress;
    Clock::time_point began = Clock::now();
    // The status of the answer sent, for the log; 0 while there is none.
    int status = 0;
    std::optional<std::uint64_t> announced;
    Phase phase = Phase::Receiving;
    // A refused request whose small body is already on its way is read to its end before the
    // refusal goes out: closing a connection with unread data resets it, and the client could
    // lose the answer.
    bool drainable = false;
    Clock::time_point drainUntil;
    // Memory taken from the budget for the body, given back when the exchange ends.
    BodyBudget* budget = nullptr;
    std::string budgetUser;
    std::uint64_t budgeted = 0;
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

WorkerPool::WorkerPool(unsigned threads, unsigned boundedShare)
    : m_boundedShare(std::max(1u, std::min(boundedShare, std::max(1u, threads))))
{
    for (unsigned i = 0; i < std::max(1u, threads); ++i) {
        m_threads.emplace_back([this] { Run(); });
    }
}

WorkerPool::~WorkerPool()
{
    Stop();
}

void WorkerPool::Submit(std::function<void()> job, Lane lane)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopping) {
            (lane == Lane::Bounded ? m_boundedJobs : m_jobs).push_back(std::move(job));
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
        bool bounded = false;
        {
            std::unique_lock lock(m_mutex);
            // On stopping the bounded jobs still waiting run without regard to their share: each
            // one resumes a connection.
            const auto boundedMayRun
                = [&] { return !m_boundedJobs.empty() && (m_boundedRunning < m_boundedShare || m_stopping); };
            m_ready.wait(lock, [&] { return m_stopping || !m_jobs.empty() || boundedMayRun(); });
            if (!m_jobs.empty()) {
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            } else if (boundedMayRun()) {
                job = std::move(m_boundedJobs.front());
                m_boundedJobs.pop_front();
                bounded = true;
                ++m_boundedRunning;
            } else if (m_boundedJobs.empty()) {
                return; // stopping, and nothing is left
            } else {
                continue;
            }
        }
        job();
        if (bounded) {
            std::lock_guard lock(m_mutex);
            --m_boundedRunning;
            // A bounded job waiting for its share may start now.
            m_ready.notify_all();
        }
    }
}

BodyBudget::BodyBudget(std::uint64_t total)
    : m_total(total)
    , m_share(std::min(total, std::max<std::uint64_t>(total / 8, WarehouseServer::kMaxJsonBody)))
{
}

bool BodyBudget::Take(const std::string& user, const std::string& address, std::uint64_t bytes)
{
    std::lock_guard lock(m_mutex);
    const auto heldBy = [](const std::map<std::string, std::uint64_t>& held, const std::string& key) {
        const auto found = held.find(key);
        return found == held.end() ? std::uint64_t { 0 } : found->second;
    };
    if (m_used + bytes > m_total || heldBy(m_byUser, user) + bytes > m_share
        || heldBy(m_byAddress, address) + bytes > m_share) {
        return false;
    }
    m_used += bytes;
    m_byUser[user] += bytes;
    m_byAddress[address] += bytes;
    return true;
}

void BodyBudget::Give(const std::string& user, const std::string& address, std::uint64_t bytes)
{
    std::lock_guard lock(m_mutex);
    m_used -= std::min(m_used, bytes);
    // Keys with nothing held are dropped, so that the tables stay as small as the bodies at hand.
    for (auto* held : { &m_byUser, &m_byAddress }) {
        const auto found = held->find(held == &m_byUser ? user : address);
        if (found != held->end() && (found->second -= std::min(found->second, bytes)) == 0) {
            held->erase(found);
        }
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

    // Changes what the watcher holds the connection to.
    template <typename Change> static void Watch(HttpFrontEnd& self, MHD_Connection* connection, Change change)
    {
        std::lock_guard lock(self.m_connectionsMutex);
        if (Connection* watched = ConnectionOf(connection)) {
            change(*watched);
        }
    }

    // The body is awaited now: from here on it must keep up its rate and be whole by its deadline.
    static void StartBody(HttpFrontEnd& self, MHD_Connection* connection, const Exchange& exchange)
    {
        const auto now = Clock::now();
        Watch(self, connection, [&](Connection& watched) {
            watched.stage = Connection::Stage::Body;
            watched.since = now;
            watched.received = 0;
            watched.receivedByWindow = 0;
            watched.announced = exchange.announced;
            watched.deadline = exchange.announced
                ? now + kBodyGrace + std::chrono::seconds(*exchange.announced / kLeastBodyRate)
                : Clock::time_point::max();
        });
    }

    // Memory for a body kept in memory until whole; false when the server, the user or the
    // address holds its share already.
    static bool TakeBodyBudget(HttpFrontEnd& self, Exchange& exchange)
    {
        const ServerRequest& request = *exchange.request;
        if (!request.body || !request.body->InMemory() || !request.account) {
            return true;
        }
        // Chunks announce nothing: they may come up to the limit.
        const std::uint64_t bytes = std::min<std::uint64_t>(exchange.announced.value_or(WarehouseServer::kMaxJsonBody),
                                                            WarehouseServer::kMaxJsonBody);
        if (bytes == 0) {
            return true;
        }
        const std::string user = std::to_string(request.account->rowId);
        if (!self.m_bodyBudget.Take(user, exchange.remoteAddress, bytes)) {
            return false;
        }
        exchange.budget = &self.m_bodyBudget;
        exchange.budgetUser = user;
        exchange.budgeted = bytes;
        return true;
    }

    // Searches may hold only their share of the worker threads.
    static WorkerPool::Lane LaneOf(const Exchange& exchange)
    {
        return exchange.method == "POST" && exchange.path == "/api/claims/search" ? WorkerPool::Lane::Bounded
                                                                                  : WorkerPool::Lane::Ordinary;
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
        if (queued == MHD_YES) {
            exchange.status = status;
        }
        return queued;
    }

    // A refusal from the request head or the sign-in, before the body: sent at once, closing the
    // connection, unless a small body is already on its way. Either way the connection is gone
    // within a few seconds, however slowly the client sends.
    static MHD_Result Refuse(HttpFrontEnd& self, MHD_Connection* connection, Exchange& exchange, HttpResponse answer)
    {
        exchange.drainUntil = Clock::now() + kDrainTime;
        Watch(self, connection, [&](Connection& watched) {
            watched.stage = Connection::Stage::Draining;
            watched.deadline = exchange.drainUntil;
        });
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
                        std::function<void(Exchange&)> work, WorkerPool::Lane lane = WorkerPool::Lane::Ordinary)
    {
        Watch(self, connection, [](Connection& watched) { watched.stage = Connection::Stage::Busy; });
        MHD_suspend_connection(connection);
        self.m_workers.Submit(
            [connection, &exchange, work = std::move(work)] {
                try {
                    work(exchange);
                } catch (const RequestError& error) {
                    exchange.response = WarehouseServer::RefusalAnswer(error);
                } catch (const std::exception& error) {
                    std::cerr << "warehouse-server: " << error.what() << std::endl;
                    exchange.response = WarehouseServer::RefusalAnswer(
                        RequestError(500, "The server could not complete the request"));
                }
                MHD_resume_connection(connection);
            },
            lane);
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
                return Refuse(self, connection, *exchange, *exchange->response);
            }
            if (!TakeBodyBudget(self, *exchange)) {
                return Refuse(self, connection, *exchange,
                              WarehouseServer::RefusalAnswer(RequestError(
                                  503, "The server is taking in too many requests at once: try again shortly", 1)));
            }
            exchange->phase = Exchange::Phase::Receiving;
            StartBody(self, connection, *exchange);
            if (*uploadSize == 0) {
                return MHD_YES;
            }
            [[fallthrough]];
        case Exchange::Phase::Receiving:
            if (*uploadSize > 0) {
                const std::size_t received = *uploadSize;
                RequestBody& body = *exchange->request->body;
                body.Append(uploadData, received);
                *uploadSize = 0;
                Watch(self, connection, [&](Connection& watched) { watched.received += received; });
                return body.Overflow() > kMostDiscarded ? MHD_NO : MHD_YES;
            }
            exchange->phase = Exchange::Phase::Working;
            Suspend(
                self, connection, *exchange,
                [&self](Exchange& done) { done.response = self.m_server.Finish(*done.request); }, LaneOf(*exchange));
            return MHD_YES;
        case Exchange::Phase::Discarding:
            if (*uploadSize > 0) {
                *uploadSize = 0;
                // Past its time the rest of the body is not waited for: the connection ends.
                return Clock::now() < exchange->drainUntil ? MHD_YES : MHD_NO;
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
        Watch(self, connection, [](Connection& watched) { watched.stage = Connection::Stage::Busy; });
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
        exchange->announced = AnnouncedLength(head);
        if (const auto refusal = self.m_server.RefusalBeforeBody(head)) {
            return Refuse(self, connection, *exchange, WarehouseServer::RefusalAnswer(*refusal));
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

    // One log line per request, once it has ended: when, who, what, the status of the answer
    // ("-" when the connection ended without one) and how long it took from its head on.
    static void Completed(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode)
    {
        HttpFrontEnd& self = *static_cast<HttpFrontEnd*>(cls);
        if (const auto* exchange = static_cast<Exchange*>(*context)) {
            const auto took
                = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - exchange->began).count();
            // Written in one piece, so that the lines of requests ending at once never mix.
            const std::string line = UtcTimestamp() + " " + ForLog(exchange->remoteAddress) + " "
                + ForLog(exchange->method) + " " + ForLog(exchange->path) + " "
                + (exchange->status ? std::to_string(exchange->status) : std::string("-")) + " " + std::to_string(took)
                + "ms\n";
            std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
        }
        delete static_cast<Exchange*>(*context);
        *context = nullptr;
        Watch(self, connection, [](Connection& watched) {
            watched.stage = Connection::Stage::Head;
            watched.since = Clock::now();
        });
    }

    static void Notify(void* cls, MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code)
    {
        HttpFrontEnd& self = *static_cast<HttpFrontEnd*>(cls);
        std::lock_guard lock(self.m_connectionsMutex);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* watched = new Connection;
            const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            watched->fd = info ? info->connect_fd : -1;
            const MHD_ConnectionInfo* client = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            watched->address = AddressText(client ? client->client_addr : nullptr);
            *socketContext = watched;
            self.m_connections.push_back(watched);
            self.MakeRoom(*watched);
        } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            auto* watched = static_cast<Connection*>(*socketContext);
            std::erase(self.m_connections, watched);
            delete watched;
            *socketContext = nullptr;
        }
    }

    // The HTTP layer's own messages (a client gone mid-request, a broken handshake): a few a
    // second at most, so that a flood of bad connections cannot flood the log; what was left out
    // is counted in the next line.
    static void Log(void* cls, const char* format, va_list arguments)
    {
        HttpFrontEnd& self = *static_cast<HttpFrontEnd*>(cls);
        char message[512];
        std::vsnprintf(message, sizeof message, format, arguments);
        std::string text = message;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        std::lock_guard lock(self.m_logMutex);
        const auto now = Clock::now();
        std::string line;
        if (now - self.m_logSecond >= std::chrono::seconds(1)) {
            if (self.m_logLeftOut > 0) {
                line = UtcTimestamp() + " http: " + std::to_string(self.m_logLeftOut)
                    + " more messages of the HTTP layer left out\n";
            }
            self.m_logSecond = now;
            self.m_logLines = 0;
            self.m_logLeftOut = 0;
        }
        if (self.m_logLines >= kLibraryLinesPerSecond) {
            ++self.m_logLeftOut;
        } else {
            ++self.m_logLines;
            line += UtcTimestamp() + " http: " + ForLog(text) + "\n";
        }
        std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
    }
};

HttpFrontEnd::HttpFrontEnd(WarehouseServer& server, int listenSocket, const std::string& certificatePem,
                           const std::string& keyPem, const ConnectionLimits& limits)
    : m_server(server)
    , m_limits(limits)
    , m_workers(limits.workerThreads, limits.searchThreads)
    , m_bodyBudget(limits.maxBufferedBodyBytes)
    , m_certificate(certificatePem)
    , m_key(keyPem)
{
    const unsigned flags
        = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_TLS | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &FrontEndCallbacks::Access, this,
                                // The logger comes first, so that it takes every message of the library.
                                MHD_OPTION_EXTERNAL_LOGGER, &FrontEndCallbacks::Log, this, MHD_OPTION_LISTEN_SOCKET,
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

namespace {

// Shutting the socket down, not closing it: the library still owns the descriptor, sees the end
// of the stream and closes the connection itself.
void Cut(HttpFrontEnd::Connection& connection)
{
    if (!connection.cut && connection.fd >= 0) {
        ::shutdown(connection.fd, SHUT_RDWR);
        connection.cut = true;
    }
}

} // namespace

void HttpFrontEnd::WatchDeadlines()
{
    using Stage = Connection::Stage;
    std::unique_lock wait(m_watchMutex);
    while (!m_watchWake.wait_for(wait, std::chrono::milliseconds(250), [&] { return m_stopping; })) {
        const auto now = Clock::now();
        std::lock_guard lock(m_connectionsMutex);
        for (Connection* connection : m_connections) {
            bool late = false;
            switch (connection->stage) {
            case Stage::Head:
                late = now - connection->since > m_limits.headDeadline;
                break;
            case Stage::Draining:
                late = now > connection->deadline;
                break;
            case Stage::Body:
                if (now > connection->deadline) {
                    late = true;
                } else if (now - connection->since >= kBodyRateWindow) {
                    std::uint64_t needed = kLeastBodyRate * static_cast<std::uint64_t>(kBodyRateWindow.count());
                    if (connection->announced) {
                        needed = std::min(needed,
                                          *connection->announced
                                              - std::min(*connection->announced, connection->receivedByWindow));
                    }
                    late = connection->received - connection->receivedByWindow < needed;
                    connection->since = now;
                    connection->receivedByWindow = connection->received;
                }
                break;
            case Stage::Busy:
                break;
            }
            if (late) {
                Cut(*connection);
            }
        }
    }
}

void HttpFrontEnd::MakeRoom(const Connection& newcomer)
{
    // Room is kept for an eighth of the connections: a few addresses that open connections and
    // never use them cannot fill every slot, as each new connection near the cap costs the
    // busiest address its oldest waiting one.
    const std::size_t room = m_limits.maxConnections / 8;
    std::map<std::string, std::size_t> perAddress;
    std::size_t open = 0;
    for (const Connection* connection : m_connections) {
        if (!connection->cut) {
            ++perAddress[connection->address];
            ++open;
        }
    }
    if (room == 0 || open + room <= m_limits.maxConnections) {
        return;
    }
    // Of the busiest address, connections waiting for a head or draining go before those sending
    // a body; requests at work or being answered are never ended.
    Connection* chosen = nullptr;
    const auto rank = [&](const Connection* connection) {
        return std::make_tuple(perAddress[connection->address], connection->stage != Connection::Stage::Body,
                               Clock::time_point::max() - connection->opened);
    };
    for (Connection* connection : m_connections) {
        if (connection->cut || connection->stage == Connection::Stage::Busy || connection == &newcomer) {
            continue;
        }
        if (!chosen || rank(connection) > rank(chosen)) {
            chosen = connection;
        }
    }
    if (chosen) {
        Cut(*chosen);
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
