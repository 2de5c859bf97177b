// Password input for the account commands: read from standard input, never echoed on a terminal,
// and the terminal put back however the command ends (one flag, shared with the signal handlers).

#include "PasswordInput.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace wh::server {
namespace {

// The terminal's settings while a password is typed without echo, for the signal handlers that
// put them back when the command is stopped halfway (Ctrl-C, a hang-up).
termios g_typingTerminal {};
volatile sig_atomic_t g_echoOff = 0;

extern "C" void RestoreEchoAndDie(int signal)
{
    if (g_echoOff) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_typingTerminal);
    }
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Echo off for as long as it lives; the terminal is put back however the reading ends.
class EchoOff
{
public:
    EchoOff()
    {
        if (::tcgetattr(STDIN_FILENO, &g_typingTerminal) != 0) {
            throw std::runtime_error(std::string("cannot read the terminal's settings: ") + std::strerror(errno));
        }
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            struct sigaction action = {};
            action.sa_handler = RestoreEchoAndDie;
            sigemptyset(&action.sa_mask);
            ::sigaction(kSignals[i], &action, &m_saved[i]);
        }
        termios quiet = g_typingTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        g_echoOff = 1;
        if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
            const int error = errno;
            Restore();
            throw std::runtime_error(std::string("cannot turn the terminal's echo off: ") + std::strerror(error));
        }
    }
    ~EchoOff() { Restore(); }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    void Restore()
    {
        if (g_echoOff) {
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_typingTerminal);
            g_echoOff = 0;
        }
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            ::sigaction(kSignals[i], &m_saved[i], nullptr);
        }
    }
    static constexpr int kSignals[] = { SIGINT, SIGTERM, SIGHUP, SIGQUIT };
    struct sigaction m_saved[std::size(kSignals)] = {};
};

std::string ReadLine(const char* what)
{
    std::string line;
    if (!std::getline(std::cin, line)) {
        throw std::runtime_error(std::string("no ") + what + " on standard input (or give --password)");
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

} // namespace

std::string ReadPasswordFromInput()
{
    if (!::isatty(STDIN_FILENO)) {
        return ReadLine("password");
    }
    std::string first;
    std::string second;
    {
        const EchoOff quiet;
        std::cerr << "Password: " << std::flush;
        first = ReadLine("password");
        std::cerr << "Password again: " << std::flush;
        second = ReadLine("password");
    }
    if (first != second) {
        throw std::runtime_error("the two passwords differ: nothing was changed");
    }
    return first;
}

} // namespace wh::server
