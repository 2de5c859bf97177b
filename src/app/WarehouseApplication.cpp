#include "app/WarehouseApplication.h"

#include <QMessageBox>
#include <cstdio>

#include "support/Errors.h"
#include "support/text/Win1252.h"

namespace wh::app {
namespace {

constexpr const char* kUnexpected = "An unexpected error stopped what the Warehouse Upload Tool was doing";

} // namespace

std::string UnhandledErrorText(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        // The tool's own errors are written for the user: they name the file and the reason.
        return e.what();
    } catch (const std::exception& e) {
        return std::string(kUnexpected) + ": " + e.what();
    } catch (...) {
        return std::string(kUnexpected) + ".";
    }
}

void ReportUnhandledError(UserNotice* notice, const std::string& text)
{
    std::fprintf(stderr, "Warehouse Upload: %s\n", text::Win1252ToUtf8(text).c_str());
    std::fflush(stderr);
    try {
        if (notice) {
            notice->ShowMessage(MessageKind::Error, text);
        } else {
            QMessageBox box(QMessageBox::Critical, QStringLiteral("Warehouse Upload"),
                            QString::fromStdString(text::Win1252ToUtf8(text)), QMessageBox::Ok);
            box.exec();
        }
    } catch (...) {
        // Standard error has it; a box that cannot be shown must not end the tool either.
    }
}

WarehouseApplication::WarehouseApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
}

bool WarehouseApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportUnhandledError(m_notice, UnhandledErrorText(std::current_exception()));
        return false;
    }
}

} // namespace wh::app
