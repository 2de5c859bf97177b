#include "BenchProcess.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
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

BenchChild::BenchChild(const std::vector<std::string>& argv, const std::string& logPath, bool readFirstLine)
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
    if (readFirstLine) {
        char c = 0;
        while (::read(m_output, &c, 1) == 1 && c != '\n') {
            m_firstLine.push_back(c);
        }
    }
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
