#include "BenchProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace wh::bench {
namespace {

// In the child: standard error (and standard output when asked) into the log, then the program.
[[noreturn]] void Exec(const std::vector<std::string>& argv, const std::string& logPath, bool outputToo)
{
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log >= 0) {
        if (outputToo) {
            ::dup2(log, 1);
        }
        ::dup2(log, 2);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
}

} // namespace

int RunToEnd(const std::vector<std::string>& argv, const std::string& logPath)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        Exec(argv, logPath, true);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The program's name, in parentheses, may hold spaces: the fields are counted after it.
    const std::size_t nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(nameEnd + 1));
    std::string field;
    // After the name: state, then ten more fields before utime and stime (fields 14 and 15).
    for (int i = 0; i < 11 && fields >> field; ++i) { }
    unsigned long long user = 0;
    unsigned long long system = 0;
    if (!(fields >> user >> system)) {
        return -1;
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

BenchChild::BenchChild(const std::vector<std::string>& argv, const std::string& logPath)
{
    int fds[2];
    if (::pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        Exec(argv, logPath, false);
    }
    ::close(fds[1]);
    m_output = fds[0];
}

std::string BenchChild::WaitForLine(const std::string& prefix, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_output >= 0) {
        // Whole lines first: a line may already be in the buffer from the last read.
        for (std::size_t end = m_partial.find('\n'); end != std::string::npos; end = m_partial.find('\n')) {
            m_lines.push_back(m_partial.substr(0, end));
            m_partial.erase(0, end + 1);
            if (m_lines.back().rfind(prefix, 0) == 0) {
                return m_lines.back();
            }
        }
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return {};
        }
        pollfd ready { m_output, POLLIN, 0 };
        const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return {};
        }
        char buffer[4096];
        const ssize_t got = ::read(m_output, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            // The program closed its output (most likely it ended): nothing more will come.
            return {};
        }
        m_partial.append(buffer, static_cast<std::size_t>(got));
    }
    return {};
}

BenchChild::~BenchChild()
{
    Stop();
}

void BenchChild::Stop()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        for (int i = 0; i < 50 && m_pid > 0; ++i) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }
    if (m_output >= 0) {
        ::close(m_output);
        m_output = -1;
    }
}

} // namespace wh::bench
