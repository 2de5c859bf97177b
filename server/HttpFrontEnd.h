#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
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
    // A reverse proxy in front of the server: for its connections the client's address (for the
    // log and the sign-in waits) is the last one of X-Forwarded-For. Empty: none.
    std::string trustedProxy;
};

// A fixed set of threads taking jobs in order.
class WorkerPool
{
public:
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Jobs submitted after Stop run at once on the caller's thread.
    void Submit(std::function<void()> job);
    // Runs the jobs still waiting and ends the threads.
    void Stop();

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
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

    WarehouseServer& m_server;
    ConnectionLimits m_limits;
    WorkerPool m_workers;
    MHD_Daemon* m_daemon = nullptr;
    std::string m_certificate;
    std::string m_key;

    // Connections by their head deadline; closed by the watcher once it has passed.
    std::mutex m_connectionsMutex;
    std::vector<Connection*> m_connections;
    std::mutex m_watchMutex;
    std::condition_variable m_watchWake;
    bool m_stopping = false;
    std::thread m_watcher;
};

// A request line's parts as they go into the log: bytes below 0x20, 0x7f and the backslash as
// \xHH, so that a request cannot forge or break log lines.
std::string ForLog(const std::string& text);

} // namespace wh::server
