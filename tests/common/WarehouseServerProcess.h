#pragma once

#include <memory>
#include <string>

#include "common/ChildProcess.h"

namespace wh::test {

// A real warehouse-server on a free loopback port with a fresh data folder of its own.
class WarehouseServerProcess
{
public:
    explicit WarehouseServerProcess(const std::string& dataDir);
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
};

} // namespace wh::test
