#include "ZipTestSupport.h"

#include "common/ChildProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>

namespace wh::test {
namespace {

const std::string kScript = std::string(WH_SOURCE_DIR) + "/tests/support/zip/zip_inspect.py";

} // namespace

json::Value InspectArchive(const std::string& archivePath)
{
    std::string output;
    const int code = RunCommand({ "python3", kScript, "dump", archivePath }, &output);
    if (code != 0) {
        throw std::runtime_error("python3 zipfile cannot read " + archivePath + " (exit " + std::to_string(code) + ")");
    }
    auto value = json::Parse(output);
    if (!value) {
        throw std::runtime_error("unreadable inspection of " + archivePath + ": " + output);
    }
    return *value;
}

void MakeArchive(const std::string& archivePath, const json::Value& members)
{
    if (RunCommand({ "python3", kScript, "make", archivePath, members.dump() }) != 0) {
        throw std::runtime_error("python3 zipfile cannot write " + archivePath);
    }
}

std::vector<std::string> MemberNames(const json::Value& inspected)
{
    std::vector<std::string> names;
    for (const auto& member : inspected["members"]) {
        names.push_back(member["name"].get<std::string>());
    }
    return names;
}

void SetMode(const std::string& path, mode_t mode)
{
    if (::chmod(path.c_str(), mode) != 0) {
        throw std::runtime_error("chmod failed on " + path);
    }
}

mode_t ModeOf(const std::string& path)
{
    struct stat info = {};
    if (::lstat(path.c_str(), &info) != 0) {
        return 0;
    }
    return info.st_mode & 07777;
}

std::vector<std::string> ListTree(const std::string& folder)
{
    namespace fs = std::filesystem;
    std::vector<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string relative = fs::relative(entry.path(), folder).string();
        if (entry.is_directory() && !entry.is_symlink()) {
            relative += "/";
        }
        entries.push_back(relative);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace wh::test
