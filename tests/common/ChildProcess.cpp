#include "common/ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace wh::test {
namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, int& stdoutFd,
            bool joinErrors = false)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        // A child must not outlive a test that died: it would keep the test runner's output open.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        if (joinErrors) {
            ::dup2(pipeFds[1], STDERR_FILENO);
        }
        for (const std::string& entry : extraEnv) {
            ::putenv(const_cast<char*>(entry.c_str()));
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    stdoutFd = pipeFds[0];
    return pid;
}

int WaitExit(pid_t pid, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (done < 0 || std::chrono::steady_clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv)
{
    m_pid = Spawn(argv, extraEnv, m_stdout);
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0) {
        if (Stop(SIGTERM, 5000) < 0) {
            Stop(SIGKILL, 5000);
        }
    }
    if (m_stdout >= 0) {
        ::close(m_stdout);
    }
}

std::string ChildProcess::WaitForLine(const std::string& marker, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        std::size_t newline;
        while ((newline = m_buffer.find('\n')) != std::string::npos) {
            std::string line = m_buffer.substr(0, newline);
            m_buffer.erase(0, newline + 1);
            if (line.find(marker) != std::string::npos) {
                return line;
            }
        }
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return {};
        }
        pollfd pfd { m_stdout, POLLIN, 0 };
        if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::read(m_stdout, chunk, sizeof chunk);
        if (n <= 0) {
            return {};
        }
        m_buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

int ChildProcess::Stop(int signal, int timeoutMs)
{
    if (m_pid <= 0) {
        return -1;
    }
    ::kill(m_pid, signal);
    const int code = WaitExit(m_pid, timeoutMs);
    if (code >= 0) {
        m_pid = -1;
    }
    return code;
}

int RunCommand(const std::vector<std::string>& argv, std::string* output, const std::vector<std::string>& extraEnv,
               int timeoutMs, Collect collect)
{
    int fd = -1;
    const pid_t pid = Spawn(argv, extraEnv, fd, collect == Collect::OutputAndErrors);
    std::string collected;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) {
            collected.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    const int code = WaitExit(pid, timeoutMs);
    if (code < 0) {
        ::kill(pid, SIGKILL);
        WaitExit(pid, 5000);
    }
    if (output) {
        *output = collected;
    }
    return code;
}

long PeakMemoryKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

} // namespace wh::test
