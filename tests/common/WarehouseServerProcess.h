#pragma once

#include <memory>
#include <string>

#include "common/ChildProcess.h"

namespace wh::test {

// A real warehouse-server on a free loopback port with a fresh data folder of its own.
class WarehouseServerProcess
{
public:
    struct Options
    {
        std::string listen = "127.0.0.1:0"; // HOST:PORT; port 0 picks a free one
        std::string certPath; // with keyPath: this certificate instead of the generated one
        std::string keyPath;
        std::string requestLogPath; // when set, the server's request log (standard error) goes here
    };
    explicit WarehouseServerProcess(const std::string& dataDir);
    WarehouseServerProcess(const std::string& dataDir, const Options& options);
    // The SHA-256 of the certificate's public key, as the server printed it at start.
    const std::string& KeyFingerprint() const { return m_keyFingerprint; }
    // The port it listens on.
    std::string Port() const { return m_baseUrl.substr(m_baseUrl.rfind(':') + 1); }
    // Stops the server and waits for it (its port is then free for another).
    void Stop();
    const std::string& BaseUrl() const { return m_baseUrl; }
    // For tests that freeze the server (SIGSTOP) to see the tool meet a server that stops answering.
    pid_t Pid() const { return m_process->Pid(); }

    // Adds an account (basic-auth user name "company/user"); false when the command failed.
    bool AddUser(const std::string& company, const std::string& user, const std::string& password, int companyId,
                 int regionId, int officeId, int departmentId, int userId) const;

private:
    std::string m_dataDir;
    std::unique_ptr<ChildProcess> m_process;
    std::string m_baseUrl;
    std::string m_keyFingerprint;
};

// The requests in a server's request log (Options::requestLogPath). The server writes a
// request's line once its answer has gone out, so the log is read until it shows `expected`
// requests (at most a few seconds), and a log showing none is read again a moment later, after
// any line still on its way.
std::size_t LoggedRequests(const std::string& requestLogPath, std::size_t expected);

} // namespace wh::test
