#include "common/WarehouseServerProcess.h"

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/TempTree.h"

namespace wh::test {
namespace {

const std::string kServer = WH_BINARY_DIR "/server/warehouse-server";

} // namespace

WarehouseServerProcess::WarehouseServerProcess(const std::string& dataDir)
    : WarehouseServerProcess(dataDir, Options {})
{
}

WarehouseServerProcess::WarehouseServerProcess(const std::string& dataDir, const Options& options)
    : m_dataDir(dataDir)
{
    std::vector<std::string> argv { kServer, "--data", dataDir, "--listen", options.listen };
    if (!options.certPath.empty()) {
        argv.insert(argv.end(), { "--cert", options.certPath, "--key", options.keyPath });
    }
    if (!options.requestLogPath.empty()) {
        // The shell only sends standard error to the file, then becomes the server.
        argv.insert(argv.begin(), { "/bin/sh", "-c", "exec \"$@\" 2>>\"$0\"", options.requestLogPath });
    }
    m_process = std::make_unique<ChildProcess>(argv);
    const std::string keyLine = m_process->WaitForLine("certificate key SHA-256: ", 30000);
    if (keyLine.empty()) {
        throw std::runtime_error("warehouse-server did not start");
    }
    m_keyFingerprint = keyLine.substr(keyLine.find(": ") + 2);
    const std::string line = m_process->WaitForLine("listening on https://", 30000);
    if (line.empty()) {
        throw std::runtime_error("warehouse-server did not start");
    }
    m_baseUrl = line.substr(line.find("https://"));
}

void WarehouseServerProcess::Stop()
{
    m_process.reset();
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

std::size_t LoggedRequests(const std::string& requestLogPath, std::size_t expected)
{
    const auto count
        = [&] { return std::filesystem::exists(requestLogPath) ? CountOf(ReadFile(requestLogPath), " /api/") : 0; };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::size_t seen = count();
    while (seen != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        seen = count();
    }
    if (seen == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        seen = count();
    }
    return seen;
}

} // namespace wh::test
