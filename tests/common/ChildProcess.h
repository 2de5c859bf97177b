#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace wh::test {

// A real child process with its standard output readable line by line; killed (SIGTERM, then
// SIGKILL) when the object goes away.
class ChildProcess
{
public:
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads standard output until a line containing `marker` arrives; returns that line, or empty
    // text when the process ended or the time ran out first.
    std::string WaitForLine(const std::string& marker, int timeoutMs);

    // Sends a signal and waits for the exit status (-1 if it did not end in time).
    int Stop(int signal, int timeoutMs);

    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    std::string m_buffer;
};

// What RunCommand collects of the child's output.
enum class Collect { StandardOutput, OutputAndErrors };

// Runs a command to its end and returns its exit code (-1 when it was killed for running past
// `timeoutMs`); standard output, with `OutputAndErrors` standard error too, goes to `output`.
int RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr,
               const std::vector<std::string>& extraEnv = {}, int timeoutMs = 60000,
               Collect collect = Collect::StandardOutput);

// Peak resident memory of a process, from its status file, in KiB; -1 when it cannot be read.
long PeakMemoryKiB(pid_t pid);

} // namespace wh::test
