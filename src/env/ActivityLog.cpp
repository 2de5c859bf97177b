#include "env/ActivityLog.h"

#include <cerrno>

#include "env/WarehouseFuncs.h"
#include "support/Errors.h"

namespace wh::env {
namespace {

std::FILE* OpenForAppend(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) {
        throw FileError("Cannot open file \"" + path + "\". " + SystemErrorText(errno));
    }
    return file;
}

} // namespace

ActivityLog::ActivityLog(const std::string& path, const text::Clock& clock)
    : m_path(path)
    , m_clock(clock)
    , m_file(OpenForAppend(path), &std::fclose)
{
}

ActivityLog::ActivityLog(WarehouseEnv& env)
    : ActivityLog(env.ActivityLogPath(), env.Clock())
{
}

void ActivityLog::WriteLine(const std::string& line)
{
    const std::string bytes = line + "\r\n";
    if (std::fwrite(bytes.data(), 1, bytes.size(), m_file.get()) != bytes.size() || std::fflush(m_file.get()) != 0) {
        throw FileError("Cannot write to \"" + m_path + "\". " + SystemErrorText(errno));
    }
}

void ActivityLog::WriteStamped(const std::string& text)
{
    WriteLine(text + " @ " + LogTimestamp(m_clock));
}

void AppendActivityLog(WarehouseEnv& env, std::initializer_list<std::string> lines)
{
    ActivityLog log(env);
    for (const std::string& line : lines) {
        log.WriteLine(line);
    }
}

void AppendFailureLog(const std::string& path, const std::string& heading, const std::string& message,
                      const text::Clock& clock)
{
    ActivityLog log(path, clock);
    log.WriteStamped(heading);
    log.WriteLine(message);
}

} // namespace wh::env
