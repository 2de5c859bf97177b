#include "app/SessionEnd.h"

#include <QCoreApplication>
#include <QEvent>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "app/WarehouseUI.h"

namespace wh::app {
namespace {

int g_signalWriteFd = -1; // written only by the signal handler

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalWriteFd, &byte, 1);
}

constexpr int kEndSignals[] = { SIGTERM, SIGHUP, SIGINT };

} // namespace

SessionEnd::SessionEnd(TWarehouseFrm& form)
    : m_form(form)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) == 0) {
        g_signalWriteFd = m_fds[0];
        m_notifier = std::make_unique<QSocketNotifier>(m_fds[1], QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, m_form.Guarded([this] {
            char buffer[16];
            [[maybe_unused]] const ssize_t n = ::read(m_fds[1], buffer, sizeof buffer);
            m_form.SessionEnding();
        }));
        struct sigaction action = {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int signal : kEndSignals) {
            ::sigaction(signal, &action, nullptr);
        }
    }
    QCoreApplication::instance()->installEventFilter(this);
    // The tool's own quit passes the filter, as the form is closed by then.
    connect(&form, &TWarehouseFrm::FormClosed, this, [] { QCoreApplication::quit(); });
}

SessionEnd::~SessionEnd()
{
    // The tool is on its way out: a late notice must not turn an orderly end into death by signal.
    for (int signal : kEndSignals) {
        ::signal(signal, SIG_IGN);
    }
    g_signalWriteFd = -1;
    m_notifier.reset();
    for (int fd : m_fds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool SessionEnd::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance() && !m_form.Closed()) {
        m_form.RunHandler([this] { m_form.SessionEnding(); });
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace wh::app
