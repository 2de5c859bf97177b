#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace wh::bench {

// Runs a program to its end with its output and errors appended to `logPath`; its exit code, or
// 128 plus the signal that ended it.
int RunToEnd(const std::vector<std::string>& argv, const std::string& logPath);

// A program running beside the bench: its standard output on a pipe, of which the first line can
// be read (a server's "listening on ..."), its standard error appended to a log file. Stopped
// with SIGTERM, then SIGKILL after five seconds.
class BenchChild
{
public:
    BenchChild(const std::vector<std::string>& argv, const std::string& logPath, bool readFirstLine);
    ~BenchChild();
    BenchChild(const BenchChild&) = delete;
    BenchChild& operator=(const BenchChild&) = delete;

    const std::string& FirstLine() const { return m_firstLine; }
    void Stop();

private:
    pid_t m_pid = -1;
    int m_output = -1;
    std::string m_firstLine;
};

} // namespace wh::bench
