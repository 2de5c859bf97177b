#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct MHD_Daemon;

namespace wh::server {

class WarehouseServer;

// What one network peer and all of them together may hold the server to.
struct ConnectionLimits
{
    unsigned maxConnections = 512;
    unsigned maxConnectionsPerAddress = 128;
    // From the first byte of a connection (or the end of the previous answer on it) until the
    // request head is whole, the TLS handshake included.
    std::chrono::seconds headDeadline { 10 };
    // Longest silence of a connection at any other time.
    std::chrono::seconds idleTimeout { 30 };
    // Memory for one connection's request head and read buffer.
    std::size_t connectionMemory = 64 * 1024;
    // Threads that wait on the network, and threads that do the requests' work (key derivation,
    // the store, checking archives) so that the network threads never wait on it.
    unsigned networkThreads = 2;
    unsigned workerThreads = 8;
    // Of those, the most that searches may hold at once: a burst of searches leaves the other
    // threads to sign-ins, lists and uploads.
    unsigned searchThreads = 4;
    // Memory all request bodies being taken in may hold together (JSON bodies are kept in memory
    // until whole; archives go to disk and do not count). One user, and one address, may hold an
    // eighth of it (at least one body of the largest size).
    std::uint64_t maxBufferedBodyBytes = 64ull << 20;
    // A reverse proxy in front of the server: for its connections the client's address (for the
    // log and the sign-in waits) is the last one of X-Forwarded-For. Empty: none.
    std::string trustedProxy;
};

// A fixed set of threads taking jobs in order. Jobs of the bounded lane hold at most a given
// number of threads at once and wait behind every ordinary job, so that a flood of them never
// keeps an ordinary job waiting for a thread.
class WorkerPool
{
public:
    enum class Lane { Ordinary, Bounded };

    WorkerPool(unsigned threads, unsigned boundedShare);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Jobs submitted after Stop run at once on the caller's thread.
    void Submit(std::function<void()> job, Lane lane = Lane::Ordinary);
    // Runs the jobs still waiting and ends the threads.
    void Stop();

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::function<void()>> m_jobs;
    std::deque<std::function<void()>> m_boundedJobs;
    unsigned m_boundedShare;
    unsigned m_boundedRunning = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

// Memory that request bodies being taken in may hold: in all, and for each user and address a
// fair share of it, so that one client cannot take it all.
class BodyBudget
{
public:
    explicit BodyBudget(std::uint64_t total);

    // Takes `bytes` for a body of `user` sent from `address`; false, taking nothing, when the
    // server or either of the two holds its limit already.
    bool Take(const std::string& user, const std::string& address, std::uint64_t bytes);
    void Give(const std::string& user, const std::string& address, std::uint64_t bytes);

private:
    std::mutex m_mutex;
    std::uint64_t m_total;
    std::uint64_t m_share;
    std::uint64_t m_used = 0;
    std::map<std::string, std::uint64_t> m_byUser;
    std::map<std::string, std::uint64_t> m_byAddress;
};

// The HTTPS side of the server: an event-driven HTTP layer that never gives a connection more
// than its share. Request heads are checked before any body byte is read; the requests' work runs
// on the worker pool while their connections wait suspended.
class HttpFrontEnd
{
public:
    // `listenSocket`: a bound, listening socket, taken over. Certificate and key are PEM texts.
    HttpFrontEnd(WarehouseServer& server, int listenSocket, const std::string& certificatePem,
                 const std::string& keyPem, const ConnectionLimits& limits);
    ~HttpFrontEnd();
    HttpFrontEnd(const HttpFrontEnd&) = delete;
    HttpFrontEnd& operator=(const HttpFrontEnd&) = delete;

    // Stops taking connections, lets the requests at work finish and closes the rest.
    void Stop();

    struct Connection;
    struct Exchange;

private:
    friend struct FrontEndCallbacks;
    void WatchDeadlines();
    // Near the connection cap: ends the connection that the address with the most connections
    // opened first, of those waiting for a request head or sending a body (never the newcomer).
    void MakeRoom(const Connection& newcomer);

    WarehouseServer& m_server;
    ConnectionLimits m_limits;
    WorkerPool m_workers;
    BodyBudget m_bodyBudget;
    MHD_Daemon* m_daemon = nullptr;
    std::string m_certificate;
    std::string m_key;

    // Every open connection with what it is waiting for; the watcher closes those past their
    // deadline.
    std::mutex m_connectionsMutex;
    std::vector<Connection*> m_connections;
    // The HTTP layer's own messages of the current second, and those left out.
    std::mutex m_logMutex;
    std::chrono::steady_clock::time_point m_logSecond;
    unsigned m_logLines = 0;
    std::uint64_t m_logLeftOut = 0;
    std::mutex m_watchMutex;
    std::condition_variable m_watchWake;
    bool m_stopping = false;
    std::thread m_watcher;
};

// A request line's parts as they go into the log: bytes below 0x20, 0x7f and the backslash as
// \xHH, so that a request cannot forge or break log lines.
std::string ForLog(const std::string& text);

} // namespace wh::server
