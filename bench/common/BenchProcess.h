#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace wh::bench {

// Runs a program to its end with its output and errors appended to `logPath`; its exit code, or
// 128 plus the signal that ended it.
int RunToEnd(const std::vector<std::string>& argv, const std::string& logPath);

// The processor time (user and system) a running process has used so far, in seconds; negative
// when it cannot be read. On a shared, busy machine this changes far less with the load beside
// than wall-clock rates do.
double CpuSeconds(pid_t pid);

// A program running beside the bench: its standard output on a pipe, read line by line on demand
// (a server's "listening on ..."), its standard error appended to a log file. Stopped with
// SIGTERM, then SIGKILL after five seconds.
class BenchChild
{
public:
    BenchChild(const std::vector<std::string>& argv, const std::string& logPath);
    ~BenchChild();
    BenchChild(const BenchChild&) = delete;
    BenchChild& operator=(const BenchChild&) = delete;

    // Reads output lines until one starts with `prefix` and returns it; empty when the program
    // closed its output or `timeout` passed first. Every line read stays in Lines(), so a caller
    // can still use the lines a program prints before the one it waits for.
    std::string WaitForLine(const std::string& prefix, std::chrono::milliseconds timeout);
    const std::vector<std::string>& Lines() const { return m_lines; }
    pid_t Pid() const { return m_pid; }
    void Stop();

private:
    pid_t m_pid = -1;
    int m_output = -1;
    std::string m_partial;
    std::vector<std::string> m_lines;
};

} // namespace wh::bench
