// The tray tool's application object as the last line: an error that leaves an event handler is
// shown in the error box and the event loop goes on.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <functional>
#include <new>
#include <string>

#include "app/WarehouseApplication.h"
#include "common/RecordingUserNotice.h"
#include "support/Errors.h"

using namespace wh;

namespace {

TEST(EventLoopGuard, AnErrorLeavingAHandlerIsShownAndTheLoopGoesOn)
{
    struct Case
    {
        const char* name;
        std::function<void()> raise;
        std::string shown;
    };
    const Case cases[] = {
        { "a file error", [] { throw FileError("Cannot open \"/claims/Warehouse/log.txt\": Not a directory"); },
          "Cannot open \"/claims/Warehouse/log.txt\": Not a directory" },
        { "a library's error", [] { throw std::bad_alloc(); },
          "An unexpected error stopped what the Warehouse Upload Tool was doing: std::bad_alloc" },
        { "something that is no error", [] { throw 42; },
          "An unexpected error stopped what the Warehouse Upload Tool was doing." },
    };
    auto* application = dynamic_cast<app::WarehouseApplication*>(QCoreApplication::instance());
    ASSERT_NE(application, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::RecordingUserNotice notice;
        application->SetErrorNotice(&notice);
        bool nextEventHandled = false;
        QTimer::singleShot(0, application, c.raise);
        QTimer::singleShot(0, application, [&] {
            nextEventHandled = true;
            QCoreApplication::quit();
        });
        EXPECT_NO_THROW(QCoreApplication::exec());
        application->SetErrorNotice(nullptr);
        EXPECT_TRUE(nextEventHandled);
        ASSERT_EQ(notice.messages.size(), 1u);
        EXPECT_EQ(notice.messages[0].kind, MessageKind::Error);
        EXPECT_EQ(notice.messages[0].text, c.shown);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    app::WarehouseApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
