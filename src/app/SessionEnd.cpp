#include "app/SessionEnd.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace wh::app {
namespace {

int g_signalWriteFd = -1; // written only by the signal handler

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalWriteFd, &byte, 1);
}

} // namespace

SessionEnd::SessionEnd(QObject* parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) == 0) {
        g_signalWriteFd = m_fds[0];
        m_notifier = std::make_unique<QSocketNotifier>(m_fds[1], QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
            char buffer[16];
            [[maybe_unused]] const ssize_t n = ::read(m_fds[1], buffer, sizeof buffer);
            emit Ending();
        });
        struct sigaction action = {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGHUP, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    }
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { emit Ending(); });
    }
}

SessionEnd::~SessionEnd()
{
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    g_signalWriteFd = -1;
    m_notifier.reset();
    for (int fd : m_fds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

} // namespace wh::app
