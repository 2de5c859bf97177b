#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace wh::app {

// Turns the end of the desktop session into one signal: SIGTERM, SIGHUP and SIGINT (through a
// self-pipe, so the handler itself does nothing unsafe) and the session manager's quit request.
class SessionEnd : public QObject
{
    Q_OBJECT

public:
    explicit SessionEnd(QObject* parent = nullptr);
    ~SessionEnd() override;

signals:
    void Ending();

private:
    int m_fds[2] = { -1, -1 };
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace wh::app
