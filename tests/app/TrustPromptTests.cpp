// A server whose key is not the one pinned for its address, met by the main form: a timer's run
// never asks and sends nothing; a command that opens a window asks, and only Yes goes on.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QDialog>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "ClaimsFixture.h"
#include "app/WarehouseUI.h"
#include "common/RecordingUserNotice.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "env/EnginePaths.h"

using namespace wh;
using app::TWarehouseFrm;

namespace {

constexpr const char* kCompany = "Sample Adjusting";
constexpr const char* kUser = "adjuster";
constexpr const char* kPassword = "secret";
// The key the workstation trusted for the address before this server took it over.
const std::string kOldKey(64, 'e');

class TrustPromptTest : public ::testing::Test
{
protected:
    TrustPromptTest()
        : server(tree.Path("server"), LoggedOptions())
        , dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , tmpEnv("TMPDIR", tree.MakeDir("tmp"))
    {
        EXPECT_TRUE(server.AddUser(kCompany, kUser, kPassword, 11, 22, 33, 44, 55));
        fixtures::ClaimsDirOptions options;
        options.root = tree.Path("ws");
        options.claims = 2;
        options.openClaims = 0;
        options.serverAddress = server.BaseUrl();
        options.intervalMs = 900000;
        options.warehouseUser = kUser;
        options.warehousePassword = kPassword;
        options.warehouseCompany = kCompany;
        layout = fixtures::BuildClaimsDirectory(options);
        programEnv.emplace("WHUPLOAD_PROGRAM_DIR", layout.programDir);
        tree.Write("data/Korvan/Warehouse/trusted-servers", Address() + " " + kOldKey + "\n");
    }

    test::WarehouseServerProcess::Options LoggedOptions() const
    {
        test::WarehouseServerProcess::Options options;
        options.requestLogPath = tree.Path("server.log");
        return options;
    }

    std::string Address() const { return "https://127.0.0.1:" + server.Port(); }

    std::unique_ptr<TWarehouseFrm> Start(QSystemTrayIcon* tray)
    {
        env = std::make_unique<env::WarehouseEnv>(notice, clock, [] {});
        const env::EngineFolders folders = env::SetEnginePaths(*env);
        return std::make_unique<TWarehouseFrm>(notice, clock, tray, QStringList {}, folders, *env);
    }

    std::size_t RequestsSeen(std::size_t expected) const
    {
        return test::LoggedRequests(tree.Path("server.log"), expected);
    }
    std::string Pins() const { return test::ReadFile(tree.Path("data/Korvan/Warehouse/trusted-servers")); }

    // Chooses Claim Search from the menu; true when its window opened (it is closed at once).
    static bool ClaimSearch(QSystemTrayIcon& tray, TWarehouseFrm& form)
    {
        QAction* item = tray.contextMenu()->findChild<QAction*>(QStringLiteral("ClaimSearch1"));
        EXPECT_NE(item, nullptr);
        bool sawWindow = false;
        QTimer watch;
        watch.setInterval(20);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (QDialog* window = form.CommandWindow(); window && window->isVisible()) {
                watch.stop();
                sawWindow = true;
                window->close();
            }
        });
        watch.start();
        item->trigger();
        QCoreApplication::processEvents();
        return sawWindow;
    }

    test::TempTree tree;
    test::WarehouseServerProcess server;
    test::ScopedEnv dataEnv;
    test::ScopedEnv tmpEnv;
    std::optional<test::ScopedEnv> programEnv;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 9, 30, 0 }) };
    test::RecordingUserNotice notice;
    std::unique_ptr<env::WarehouseEnv> env;
    fixtures::ClaimsDirLayout layout;
};

} // namespace

TEST_F(TrustPromptTest, ATimersRunNeverAsksShowsTheBalloonAndSendsNothing)
{
    auto form = Start(nullptr);
    ASSERT_TRUE(QMetaObject::invokeMethod(form->FirstRunTimer(), "timeout"));
    EXPECT_TRUE(notice.questions.empty());
    EXPECT_EQ(notice.trayState, TrayState::Attention);
    ASSERT_FALSE(notice.balloons.empty());
    const std::string balloon = notice.balloons.back();
    EXPECT_NE(balloon.find("identity"), std::string::npos) << balloon;
    EXPECT_NE(balloon.find(Address()), std::string::npos) << balloon;
    EXPECT_NE(balloon.find("Settings"), std::string::npos) << balloon;
    EXPECT_EQ(RequestsSeen(0u), 0u);
    EXPECT_EQ(Pins(), Address() + " " + kOldKey + "\n");
    const std::string log = test::ReadFile(layout.claimsDir + "/Warehouse/log.txt");
    EXPECT_NE(log.find(server.KeyFingerprint()), std::string::npos) << log;
    EXPECT_NE(log.find(kOldKey), std::string::npos) << log;
}

TEST_F(TrustPromptTest, ClaimSearchAsksNoSendsNothingYesTrustsTheKeyAndOpensTheWindow)
{
    QSystemTrayIcon tray;
    auto form = Start(&tray);

    notice.AnswerNext(false);
    EXPECT_FALSE(ClaimSearch(tray, *form));
    ASSERT_EQ(notice.questions.size(), 1u);
    for (const std::string& part : { Address(), kOldKey, server.KeyFingerprint() }) {
        EXPECT_NE(notice.questions[0].find(part), std::string::npos) << notice.questions[0];
    }
    EXPECT_EQ(RequestsSeen(0u), 0u);
    EXPECT_EQ(Pins(), Address() + " " + kOldKey + "\n");
    EXPECT_EQ(notice.trayState, TrayState::Attention);

    notice.AnswerNext(true);
    EXPECT_TRUE(ClaimSearch(tray, *form));
    EXPECT_EQ(notice.questions.size(), 2u);
    EXPECT_EQ(Pins(), Address() + " " + server.KeyFingerprint() + "\n");
    EXPECT_EQ(RequestsSeen(1u), 1u); // the sign-in, once the key was trusted

    // Trusted from now on: no question.
    EXPECT_TRUE(ClaimSearch(tray, *form));
    EXPECT_EQ(notice.questions.size(), 2u);
}

// The balloon of a timer's run sends the user to Settings: the sign-in after the dialog asks.
TEST_F(TrustPromptTest, TheSignInAfterTheSettingsDialogAsks)
{
    QSystemTrayIcon tray;
    auto form = Start(&tray);
    QAction* item = tray.contextMenu()->findChild<QAction*>(QStringLiteral("Mnu_Settings"));
    ASSERT_NE(item, nullptr);
    for (const bool yes : { false, true }) {
        SCOPED_TRACE(yes ? "Yes" : "No");
        QTimer watch;
        watch.setInterval(20);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (QDialog* dialog = form->CommandWindow(); dialog && dialog->isVisible()) {
                watch.stop();
                dialog->findChild<QPushButton*>(QStringLiteral("BitBtn1"))->click(); // OK
            }
        });
        watch.start();
        notice.AnswerNext(yes);
        item->trigger();
        QCoreApplication::processEvents();
        ASSERT_EQ(notice.questions.size(), yes ? 2u : 1u);
        EXPECT_NE(notice.questions.back().find(server.KeyFingerprint()), std::string::npos);
        EXPECT_EQ(RequestsSeen(yes ? 1u : 0u), yes ? 1u : 0u);
        EXPECT_EQ(Pins(), Address() + " " + (yes ? server.KeyFingerprint() : kOldKey) + "\n");
    }
    const std::string log = test::ReadFile(layout.claimsDir + "/Warehouse/log.txt");
    EXPECT_EQ(test::CountOf(log, "WHT CRODE 11 22 33 44 55"), 1u) << log;
}
