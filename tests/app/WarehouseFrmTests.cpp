#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "app/SessionEnd.h"
#include "app/WarehouseUI.h"
#include "common/RecordingUserNotice.h"
#include "common/TempTree.h"
#include "env/WarehouseFuncs.h"

using namespace wh;
using app::TWarehouseFrm;
using test::ReadFile;

namespace {

// An installed claims directory and local tree; each test starts the main form on it.
class MainFormTest : public ::testing::Test
{
protected:
    MainFormTest()
        : programEnv("WHUPLOAD_PROGRAM_DIR", tree.MakeDir("prog"))
        , dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , tmpEnv("TMPDIR", tree.MakeDir("tmp"))
    {
        tree.Write("prog/DBAlias.ini", "KVXClaimsDB=" + tree.Path("claims") + "\r\n");
        tree.Write("claims/Warehouse/TempArcs/ARCS.DB", "arcs");
        SetWarehouseIni("WServer= https://127.0.0.1:9/ \r\n[Check]\r\nInterval=900000\r\n");
    }

    void SetWarehouseIni(const std::string& content) { tree.Write("claims/Warehouse/warehouse.ini", content); }

    std::unique_ptr<TWarehouseFrm> Start(const QStringList& arguments = {})
    {
        env = std::make_unique<env::WarehouseEnv>(notice, clock, [] {});
        return std::make_unique<TWarehouseFrm>(notice, clock, nullptr, arguments, env::EngineFolders {}, *env);
    }

    long BalloonCount(const std::string& text) const
    {
        return std::count(notice.balloons.begin(), notice.balloons.end(), text);
    }

    long LogCount(const std::string& text) const { return static_cast<long>(test::CountOf(Log(), text)); }

    std::string Log() const
    {
        const std::string path = tree.Path("claims/Warehouse/log.txt");
        return std::filesystem::exists(path) ? ReadFile(path) : std::string();
    }

    test::TempTree tree;
    test::ScopedEnv programEnv;
    test::ScopedEnv dataEnv;
    test::ScopedEnv tmpEnv;
    test::RecordingUserNotice notice;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 9, 30, 0 }) };
    std::unique_ptr<env::WarehouseEnv> env;
};

} // namespace

TEST_F(MainFormTest, StartupWritesTheLaunchLineAndArmsTheTimers)
{
    auto form = Start();
    EXPECT_TRUE(form->Installed());
    EXPECT_EQ(form->Session()->ServerBase(), "https://127.0.0.1:9");
    EXPECT_EQ(Log(), "\r\n~~~~~WHT launch warehouse tool @ 03/04/2026 9:30:00 AM\r\n");
    EXPECT_EQ(notice.trayState, TrayState::Idle);
    EXPECT_EQ(notice.trayHint, "Warehouse Upload Tool");
    ASSERT_NE(form->UploadTimer(), nullptr);
    EXPECT_FALSE(form->UploadTimer()->isActive());
    EXPECT_EQ(form->UploadTimer()->interval(), 900000);
    ASSERT_NE(form->FirstRunTimer(), nullptr);
    EXPECT_TRUE(form->FirstRunTimer()->isActive());
    EXPECT_EQ(form->FirstRunTimer()->interval(), 60000);
    EXPECT_TRUE(std::filesystem::is_directory(tree.Path("data/Korvan/Warehouse/Upload")));
}

TEST_F(MainFormTest, IntervalDecidesWhetherTheFirstRunComesAfterOneMinute)
{
    struct Case
    {
        std::string ini;
        int interval;
        bool firstRunTimer;
    };
    const Case cases[] = {
        { "WServer=https://h\r\n[Check]\r\nInterval=60000\r\n", 60000, false },
        { "WServer=https://h\r\n[Check]\r\nInterval=60001\r\n", 60001, true },
        { "WServer=https://h\r\n[check]\r\ninterval=120000\r\n", 120000, true },
        { "WServer=https://h\r\n[Check]\r\nInterval=fast\r\n", 900000, true },
        { "WServer=https://h\r\n[Check]\r\nInterval=0\r\n", 900000, true },
        { "WServer=https://h\r\n[Check]\r\nInterval=-5000\r\n", 900000, true },
        { "WServer=https://h\r\n", 900000, true },
    };
    for (const Case& c : cases) {
        SetWarehouseIni(c.ini);
        auto form = Start();
        EXPECT_EQ(form->UploadInterval, c.interval) << c.ini;
        EXPECT_EQ(form->FirstRunTimer() != nullptr, c.firstRunTimer) << c.ini;
        ASSERT_NE(form->UploadTimer(), nullptr);
        EXPECT_FALSE(form->UploadTimer()->isActive());
    }
}

TEST_F(MainFormTest, OnlyTheFirstArgumentTurnsOnDebugMode)
{
    const std::pair<QStringList, bool> cases[] = {
        { {}, false },           { { "DEBUG" }, true },   { { "debug" }, true },
        { { "/DEBUG" }, false }, { { "-debug" }, false }, { { "other", "DEBUG" }, false },
    };
    for (const auto& [arguments, debug] : cases) {
        EXPECT_EQ(Start(arguments)->DebugMode, debug) << arguments.join(' ').toStdString();
    }
}

TEST_F(MainFormTest, MissingArcsTableLeavesTheToolNotInstalled)
{
    std::filesystem::remove(tree.Path("claims/Warehouse/TempArcs/ARCS.DB"));
    auto form = Start();
    EXPECT_FALSE(form->Installed());
    EXPECT_EQ(notice.trayState, TrayState::Attention);
    ASSERT_EQ(notice.balloons.size(), 1u);
    EXPECT_EQ(notice.balloons[0], "Warehouse Upload Tool is not installed properly.");
    EXPECT_EQ(form->UploadTimer(), nullptr);
    EXPECT_EQ(form->FirstRunTimer(), nullptr);
    EXPECT_EQ(Log(), "");
    form->UploadClaims1Click(); // a run from the menu arms no timer either
    EXPECT_EQ(form->UploadTimer(), nullptr);
}

TEST_F(MainFormTest, MissingWarehouseIniIsReportedAndNothingIsArmed)
{
    std::filesystem::remove(tree.Path("claims/Warehouse/warehouse.ini"));
    auto form = Start();
    ASSERT_EQ(notice.messages.size(), 1u);
    EXPECT_EQ(notice.messages[0].kind, MessageKind::Error);
    EXPECT_NE(notice.messages[0].text.find("warehouse.ini"), std::string::npos);
    EXPECT_EQ(notice.trayState, TrayState::Attention);
    EXPECT_EQ(form->UploadTimer(), nullptr);
    EXPECT_EQ(Log(), "");
}

TEST_F(MainFormTest, TimerFiringDiscardsTheFirstRunTimerAndRestartsTheInterval)
{
    auto form = Start();
    form->UploadClaims1Click(); // a manual run within the first minute
    EXPECT_EQ(form->FirstRunTimer(), nullptr);
    EXPECT_TRUE(form->UploadTimer()->isActive());
    EXPECT_EQ(form->UploadTimer()->interval(), 900000);
    EXPECT_FALSE(form->Busy);
}

TEST_F(MainFormTest, ShutdownIsRefusedWhileACommandRuns)
{
    auto form = Start();
    form->Busy = true;
    form->Exit1Click();
    EXPECT_FALSE(form->Closed());
    ASSERT_EQ(notice.messages.size(), 1u);
    EXPECT_EQ(notice.messages[0].kind, MessageKind::Information);
    EXPECT_EQ(notice.messages[0].text,
              "Warehouse currently being accessed, \r\nplease wait until processing is complete.");
    form->Busy = false;
    clock.Set(text::EncodeDateTime({ 2026, 3, 4, 17, 0, 1 }));
    form->Exit1Click();
    EXPECT_TRUE(form->Closed());
    EXPECT_TRUE(form->Session()->IsReleased());
    const std::string log = Log();
    const std::string last = "\r\nWHT Shutdown @ 03/04/2026 5:00:01 PM\r\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

TEST_F(MainFormTest, InstanceRequestsShowTheNoticeCloseOrAreIgnored)
{
    auto form = Start();
    form->InstanceMessage("0");
    form->InstanceMessage("2");
    form->InstanceMessage("0");
    EXPECT_EQ(notice.balloons,
              (std::vector<std::string> { "Warehouse Upload Tool already running.",
                                          "Warehouse Upload Tool already running." }));
    EXPECT_FALSE(form->Closed());
    form->Busy = true; // the close request does not test Busy
    form->InstanceMessage("1");
    EXPECT_TRUE(form->Closed());
}

TEST_F(MainFormTest, SessionEndWaitsForTheCommandInProgress)
{
    auto form = Start();
    form->Busy = true;
    form->SessionEnding();
    EXPECT_EQ(notice.balloons.back(), "System Shutdown");
    EXPECT_FALSE(form->Closed());
    form->Busy = false;
    for (int i = 0; i < 30 && !form->Closed(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        QThread::msleep(50);
    }
    EXPECT_TRUE(form->Closed());
    const std::string log = Log();
    EXPECT_NE(log.rfind("WHT Shutdown @ "), std::string::npos);
}

TEST_F(MainFormTest, SessionEndClosesTheWindowOfTheCommandInProgress)
{
    auto form = Start();
    bool commandEnded = false;
    // A command that holds Busy while its modal window runs its own event loop.
    QTimer::singleShot(0, form.get(), [&] {
        form->Busy = true;
        QDialog window;
        QTimer::singleShot(200, form.get(), [&] { form->SessionEnding(); });
        window.exec();
        form->Busy = false;
        commandEnded = true;
    });
    for (int i = 0; i < 100 && !form->Closed(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        QThread::msleep(20);
    }
    EXPECT_TRUE(commandEnded);
    EXPECT_TRUE(form->Closed());
}

TEST_F(MainFormTest, SessionEndIsHandledOnceHoweverOftenItIsTold)
{
    auto form = Start();
    form->Busy = true;
    QDialog first;
    first.setModal(true);
    first.show();
    form->SessionEnding();
    EXPECT_FALSE(first.isVisible()); // the wait closes the command's window at once
    // The command goes on with another window; a second notice must not start a wait of its own.
    QDialog second;
    second.setModal(true);
    second.show();
    form->SessionEnding();
    EXPECT_TRUE(second.isVisible());
    EXPECT_EQ(BalloonCount("System Shutdown"), 1);

    second.close();
    form->Busy = false;
    for (int i = 0; i < 60 && !form->Closed(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        QThread::msleep(50);
    }
    EXPECT_TRUE(form->Closed());
    EXPECT_EQ(BalloonCount("System Shutdown"), 1);
    EXPECT_EQ(LogCount("WHT Shutdown @ "), 1);
}

TEST_F(MainFormTest, QuitEventWhileTheFormIsOpenIsTheEndOfTheSession)
{
    auto form = Start();
    app::SessionEnd sessionEnd(*form);
    form->Busy = true;
    bool openAfterQuit = false;
    QTimer::singleShot(0, form.get(), [&] {
        // The session manager ends a program with a quit event, here twice.
        for (int i = 0; i < 2; ++i) {
            QEvent quit(QEvent::Quit);
            QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
        }
        openAfterQuit = !form->Closed();
        form->Busy = false; // the command in progress ends
    });
    // Only a guard against hanging: the loop normally ends a second or so later.
    QTimer::singleShot(30000, form.get(), [] { QCoreApplication::exit(2); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(openAfterQuit);
    EXPECT_TRUE(form->Closed());
    EXPECT_EQ(BalloonCount("System Shutdown"), 1);
    EXPECT_EQ(LogCount("WHT Shutdown @ "), 1);
}

TEST_F(MainFormTest, QuitEventAfterTheFormClosedEndsTheLoop)
{
    auto form = Start();
    app::SessionEnd sessionEnd(*form);
    QTimer::singleShot(0, form.get(), [&] { form->Exit1Click(); });
    QTimer::singleShot(30000, form.get(), [] { QCoreApplication::exit(2); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(form->Closed());
    EXPECT_EQ(BalloonCount("System Shutdown"), 0);
}
