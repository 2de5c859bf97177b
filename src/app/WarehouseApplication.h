#pragma once

#include <QApplication>
#include <exception>
#include <string>

#include "env/UserNotice.h"

namespace wh::app {

// The text of the error box for an error that a handler did not handle itself: the error's own
// message, which names the file and the reason.
std::string UnhandledErrorText(const std::exception_ptr& error);

// The application's error box for an error that reached a handler's edge: written to standard
// error as well, so that it is kept even where no one sees the box. Never raises.
void ReportUnhandledError(UserNotice* notice, const std::string& text);

// The tray tool's application object. Every handler of the tool catches what it does not handle
// itself; this is the last line behind them: an error that still leaves an event handler is shown
// in the error box and the event loop goes on, where it would otherwise end the process.
class WarehouseApplication : public QApplication
{
public:
    WarehouseApplication(int& argc, char** argv);

    // Where the error box goes (the tool's notices once they exist); without one, a plain message
    // box.
    void SetErrorNotice(UserNotice* notice) { m_notice = notice; }

    bool notify(QObject* receiver, QEvent* event) override;

private:
    UserNotice* m_notice = nullptr;
};

} // namespace wh::app
