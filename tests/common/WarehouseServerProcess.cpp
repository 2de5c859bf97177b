#include "common/WarehouseServerProcess.h"

#include <stdexcept>
#include <vector>

namespace wh::test {
namespace {

const std::string kServer = WH_BINARY_DIR "/server/warehouse-server";

} // namespace

WarehouseServerProcess::WarehouseServerProcess(const std::string& dataDir)
    : m_dataDir(dataDir)
{
    m_process = std::make_unique<ChildProcess>(
        std::vector<std::string> { kServer, "--data", dataDir, "--listen", "127.0.0.1:0" });
    const std::string line = m_process->WaitForLine("listening on https://", 30000);
    if (line.empty()) {
        throw std::runtime_error("warehouse-server did not start");
    }
    m_baseUrl = line.substr(line.find("https://"));
}

bool WarehouseServerProcess::AddUser(const std::string& company, const std::string& user, const std::string& password,
                                     int companyId, int regionId, int officeId, int departmentId, int userId) const
{
    return RunCommand({ kServer,           "--data",
                        m_dataDir,         "add-user",
                        "--company",       company,
                        "--user",          user,
                        "--password",      password,
                        "--company-id",    std::to_string(companyId),
                        "--region-id",     std::to_string(regionId),
                        "--office-id",     std::to_string(officeId),
                        "--department-id", std::to_string(departmentId),
                        "--user-id",       std::to_string(userId) })
        == 0;
}

} // namespace wh::test
