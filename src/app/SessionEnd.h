#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace wh::app {

class TWarehouseFrm;

// Turns the end of the desktop session into the main form's end-of-session handler: SIGTERM,
// SIGHUP and SIGINT (through a self-pipe, so the signal handler itself does nothing unsafe) and
// the application's quit event, which is how the session manager ends a Qt program. The session
// manager's save request is no end: it also comes for checkpoints and for logouts that are later
// cancelled. Once the form has closed, the event loop ends.
class SessionEnd : public QObject
{
    Q_OBJECT

public:
    explicit SessionEnd(TWarehouseFrm& form);
    ~SessionEnd() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TWarehouseFrm& m_form;
    int m_fds[2] = { -1, -1 };
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace wh::app
