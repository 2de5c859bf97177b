// The upload run as the main form starts it, from the "Upload Claims" menu item and from its
// timers, against a real warehouse-server and claims directories made by the fixture builder.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ClaimsFixture.h"
#include "app/WarehouseUI.h"
#include "auxfiles/AUX_Files.h"
#include "common/RecordingUserNotice.h"
#include "common/ScriptedServer.h"
#include "common/TempTree.h"
#include "common/WarehouseServerProcess.h"
#include "env/EnginePaths.h"
#include "support/paradox/Table.h"
#include "warehouse/WarehouseSession.h"
#include "warehouse/WarehouseTrans.h"

using namespace wh;
using app::TWarehouseFrm;

namespace {

constexpr const char* kCompany = "Sample Adjusting";
constexpr const char* kUser = "adjuster";
constexpr const char* kPassword = "secret";
const std::string kUploadingBalloon = "Closed claims are currently uploading.";
const std::string kCurrentBalloon = "All closed claims current on Warehouse.";
const std::string kSetupBalloon = "Please setup your Warehouse settings in Korvan preferences.";
const std::vector<std::string> kOneRun { kUploadingBalloon, kCurrentBalloon };
const std::vector<std::string> kTwoRuns { kUploadingBalloon, kCurrentBalloon, kUploadingBalloon, kCurrentBalloon };
const std::string kHint = "Warehouse Upload Tool";
// Log lines that open a run, that only a signed-in run writes, and that end a completed one.
const std::string kRunOpens = "~~~~~WHT INI INFORMATION Username :";
const std::string kListReceived = "WHT Claim List received @ ";
const std::string kRunCompleted = "~~~~~WHT claims upload complete @ ";
const std::string kNewClaim = "Processing NEW claim number ";
constexpr int kClaims = 4;
constexpr int kOpenClaims = 1; // the last claim: never uploaded, only closed claims are
constexpr int kClosedClaims = kClaims - kOpenClaims;

// What the form looked like at the first claim a run examined.
struct InsideRun
{
    TrayState trayState = TrayState::Idle;
    std::string trayHint;
    bool busy = false;
    bool runInProgress = false;
    bool uploadTimerActive = true;
    bool firstRunTimerGone = false;
    std::vector<std::string> balloons;
};

// A warehouse-server with the account of the fixture's user, and a claims directory (three closed
// claims, one open) per test case, each started under the main form.
// Runs `act` once, from inside the modal window's own event loop, as soon as a command's window
// shows: a loaded machine may take a while to sign in before it opens. Looks until the returned
// timer goes.
template <class Act> std::unique_ptr<QTimer> OnCommandWindow(TWarehouseFrm& form, Act act)
{
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(20);
    QTimer* watch = timer.get();
    QObject::connect(watch, &QTimer::timeout, [watch, &form, act]() mutable {
        if (QDialog* window = form.CommandWindow(); window && window->isVisible()) {
            watch->stop();
            act();
        }
    });
    timer->start();
    return timer;
}

class FormUploadRunTest : public ::testing::Test
{
protected:
    FormUploadRunTest()
        : server(tree.Path("server"))
        , dataEnv("XDG_DATA_HOME", tree.Path("data"))
        , tmpEnv("TMPDIR", tree.MakeDir("tmp"))
    {
        EXPECT_TRUE(server.AddUser(kCompany, kUser, kPassword, 11, 22, 33, 44, 55));
    }

    fixtures::ClaimsDirOptions Options(const std::string& name, int intervalMs) const
    {
        fixtures::ClaimsDirOptions options;
        options.root = tree.Path(name);
        options.claims = kClaims;
        options.openClaims = kOpenClaims;
        options.filesPerClaim = 1;
        options.fileBytes = 2048;
        options.serverAddress = server.BaseUrl();
        options.intervalMs = intervalMs;
        options.warehouseUser = kUser;
        options.warehousePassword = kPassword;
        options.warehouseCompany = kCompany;
        return options;
    }

    void Build(const fixtures::ClaimsDirOptions& options)
    {
        layout = fixtures::BuildClaimsDirectory(options);
        programEnv.reset();
        programEnv.emplace("WHUPLOAD_PROGRAM_DIR", layout.programDir);
    }

    // The form as the program makes it; a tray icon gives it its menu. Every form of a test is
    // gone before the next one starts.
    std::unique_ptr<TWarehouseFrm> Start(QSystemTrayIcon* tray)
    {
        env.reset();
        notice = std::make_unique<test::RecordingUserNotice>();
        env = std::make_unique<env::WarehouseEnv>(*notice, clock, [] {});
        const env::EngineFolders folders = env::SetEnginePaths(*env);
        return std::make_unique<TWarehouseFrm>(*notice, clock, tray, QStringList {}, folders, *env);
    }

    static QAction* UploadClaimsItem(const QSystemTrayIcon& tray)
    {
        QMenu* menu = tray.contextMenu();
        return menu ? menu->findChild<QAction*>(QStringLiteral("UploadClaims1")) : nullptr;
    }

    // A timer's firing as its event would deliver it.
    static bool Fire(QTimer* timer) { return timer && QMetaObject::invokeMethod(timer, "timeout"); }

    static InsideRun Observe(TWarehouseFrm& form, const test::RecordingUserNotice& seen)
    {
        InsideRun inside;
        inside.trayState = seen.trayState;
        inside.trayHint = seen.trayHint;
        inside.busy = form.Busy;
        inside.runInProgress = form.RunInProgress();
        inside.uploadTimerActive = form.UploadTimer()->isActive();
        inside.firstRunTimerGone = form.FirstRunTimer() == nullptr;
        inside.balloons = seen.balloons;
        return inside;
    }

    // Keeps the event loop running until `done` holds; false when it did not within the deadline.
    static bool WaitFor(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(10);
        }
        return true;
    }

    std::string Log() const
    {
        const std::string path = layout.claimsDir + "/Warehouse/log.txt";
        return std::filesystem::exists(path) ? test::ReadFile(path) : std::string();
    }

    long LogCount(const std::string& text) const { return static_cast<long>(test::CountOf(Log(), text)); }

    // The opening, claim-list and completion lines of the runs in log order: runs one at a time
    // give "open list done open list done ...".
    std::string RunMarkers() const
    {
        std::istringstream lines(Log());
        std::string line;
        std::string markers;
        while (std::getline(lines, line)) {
            if (line.starts_with(kRunOpens)) {
                markers += "open ";
            } else if (line.starts_with(kListReceived)) {
                markers += "list ";
            } else if (line.starts_with(kRunCompleted)) {
                markers += "done ";
            }
        }
        return markers;
    }

    // ClaimID -> SrvClaimID as Claims.DB holds them now.
    std::map<std::int64_t, std::int64_t> StoredServerIds() const
    {
        paradox::Table claims(layout.claimsDir, "Claims.DB");
        claims.Open(paradox::OpenMode::Shared);
        std::map<std::int64_t, std::int64_t> ids;
        for (claims.First(); !claims.Eof(); claims.Next()) {
            ids[claims.FieldByName("ClaimID").AsInteger()] = claims.FieldByName("SrvClaimID").AsInteger();
        }
        return ids;
    }

    // Server claim id -> version, as the server lists the account's claims to a session of our own.
    std::map<std::int64_t, std::int64_t> ServerClaims()
    {
        warehouse::WarehouseSession session(*env);
        session.SetServerBase(server.BaseUrl());
        session.SetSessionCredentials(std::string(kCompany) + "/" + kUser, kPassword);
        const auto list = nlohmann::json::parse(warehouse::GetClaimList(session), nullptr, false);
        std::map<std::int64_t, std::int64_t> claims;
        EXPECT_TRUE(list.is_array()) << list.dump();
        for (const auto& claim : list) {
            claims[claim.at("id").get<std::int64_t>()] = claim.at("version").get<std::int64_t>();
        }
        return claims;
    }

    // Every closed claim of this directory carries an id of its own that the server lists; the
    // open claim has none.
    void ExpectClosedClaimsOnServer()
    {
        const auto stored = StoredServerIds();
        const auto onServer = ServerClaims();
        std::set<std::int64_t> ids;
        for (const fixtures::ClaimInfo& claim : layout.claims) {
            const std::int64_t id = stored.at(claim.claimId);
            if (!claim.closed) {
                EXPECT_EQ(id, 0) << "open claim " << claim.claimNumber;
                continue;
            }
            EXPECT_GT(id, 0) << claim.claimNumber;
            EXPECT_TRUE(ids.insert(id).second) << claim.claimNumber << " shares server id " << id;
            const auto listed = onServer.find(id);
            ASSERT_NE(listed, onServer.end()) << claim.claimNumber << " (server id " << id << ") is not on the server";
            EXPECT_GE(listed->second, 1) << claim.claimNumber;
        }
        EXPECT_EQ(ids.size(), static_cast<std::size_t>(kClosedClaims));
    }

    // A run leaves no archive or document behind in the staging folder.
    void ExpectStagingEmpty() const
    {
        const std::string staging = env->UploadDir();
        ASSERT_TRUE(std::filesystem::is_directory(staging));
        for (const auto& entry : std::filesystem::directory_iterator(staging)) {
            const std::string extension = entry.path().extension().string();
            EXPECT_TRUE(extension != ".json" && extension != ".kvz") << entry.path();
        }
    }

    test::TempTree tree;
    test::WarehouseServerProcess server;
    test::ScopedEnv dataEnv;
    test::ScopedEnv tmpEnv;
    std::optional<test::ScopedEnv> programEnv;
    text::FixedClock clock { text::EncodeDateTime({ 2026, 3, 4, 9, 30, 0 }) };
    std::unique_ptr<test::RecordingUserNotice> notice;
    std::unique_ptr<env::WarehouseEnv> env;
    fixtures::ClaimsDirLayout layout;
};

} // namespace

TEST_F(FormUploadRunTest, UploadClaimsItemUploadsClosedClaimsThenTheTimerRunsAgainByItself)
{
    Build(Options("ws", 1500));
    QSystemTrayIcon tray;
    auto form = Start(&tray);
    ASSERT_TRUE(form->Installed());
    EXPECT_EQ(form->FirstRunTimer(), nullptr); // with a short interval the user starts the first run
    ASSERT_NE(form->UploadTimer(), nullptr);
    EXPECT_FALSE(form->UploadTimer()->isActive());
    QAction* item = UploadClaimsItem(tray);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), QStringLiteral("Upload Claims"));

    std::vector<InsideRun> runs;
    form->Runner().Progress = [&](const upload::ClaimProgress& progress) {
        if (progress.index == 1 && progress.step == upload::ClaimProgress::Step::Examining) {
            runs.push_back(Observe(*form, *notice));
        }
    };
    item->trigger();

    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].trayState, TrayState::Uploading);
    EXPECT_EQ(runs[0].trayHint, "Uploading Claims...");
    EXPECT_TRUE(runs[0].busy); // a run from the menu holds off the other commands
    EXPECT_TRUE(runs[0].runInProgress);
    EXPECT_FALSE(runs[0].uploadTimerActive);
    EXPECT_EQ(runs[0].balloons, std::vector<std::string> { kUploadingBalloon });

    EXPECT_EQ(notice->balloons, kOneRun);
    EXPECT_EQ(notice->trayState, TrayState::Idle);
    EXPECT_EQ(notice->trayHint, kHint);
    EXPECT_FALSE(form->Busy);
    EXPECT_FALSE(form->RunInProgress());
    EXPECT_FALSE(form->Runner().ServerClaimList.has_value());
    EXPECT_TRUE(form->UploadTimer()->isActive());
    EXPECT_EQ(form->UploadTimer()->interval(), 1500);
    EXPECT_EQ(form->UploadInterval, 1500);
    EXPECT_EQ(LogCount(kNewClaim), kClosedClaims);
    EXPECT_EQ(RunMarkers(), "open list done ");
    ExpectClosedClaimsOnServer();
    ExpectStagingEmpty();
    const auto afterFirstRun = ServerClaims();
    EXPECT_EQ(afterFirstRun.size(), static_cast<std::size_t>(kClosedClaims));

    // The restarted timer starts the next run by itself, and that run finds nothing to upload.
    ASSERT_TRUE(WaitFor([&] { return LogCount(kRunCompleted) >= 2; })) << Log();
    EXPECT_EQ(RunMarkers(), "open list done open list done ");
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_FALSE(runs[1].busy); // a timer's run does not set Busy
    EXPECT_FALSE(runs[1].uploadTimerActive);
    EXPECT_EQ(runs[1].trayState, TrayState::Uploading);
    EXPECT_EQ(LogCount(kNewClaim), kClosedClaims);
    EXPECT_EQ(LogCount("Processing existing claim number"), 0);
    EXPECT_EQ(LogCount("EXISTING CLAIM NOT PROCESSED"), 0);
    EXPECT_EQ(ServerClaims(), afterFirstRun);
    EXPECT_EQ(notice->balloons, kTwoRuns);
    EXPECT_EQ(notice->trayState, TrayState::Idle);
    EXPECT_TRUE(form->UploadTimer()->isActive());
    EXPECT_EQ(form->UploadTimer()->interval(), 1500);
}

TEST_F(FormUploadRunTest, FirstRunTimerStartsTheFirstRunAndGivesWayToTheInterval)
{
    Build(Options("ws", 61000));
    auto form = Start(nullptr);
    const QPointer<QTimer> firstRun = form->FirstRunTimer();
    ASSERT_FALSE(firstRun.isNull());
    EXPECT_TRUE(firstRun->isActive());
    EXPECT_TRUE(firstRun->isSingleShot());
    EXPECT_EQ(firstRun->interval(), 60000);
    EXPECT_FALSE(form->UploadTimer()->isActive());

    std::optional<InsideRun> inside;
    bool firstRunTimerStoppedInside = false;
    form->Runner().Progress = [&](const upload::ClaimProgress&) {
        if (!inside) {
            inside = Observe(*form, *notice);
            firstRunTimerStoppedInside = firstRun.isNull() || !firstRun->isActive();
        }
    };
    ASSERT_TRUE(Fire(firstRun));

    ASSERT_TRUE(inside.has_value());
    EXPECT_TRUE(inside->firstRunTimerGone);
    EXPECT_TRUE(firstRunTimerStoppedInside);
    EXPECT_FALSE(inside->busy);
    EXPECT_FALSE(inside->uploadTimerActive);
    EXPECT_EQ(inside->trayState, TrayState::Uploading);
    EXPECT_EQ(notice->balloons, kOneRun);
    EXPECT_EQ(notice->trayState, TrayState::Idle);
    EXPECT_EQ(notice->trayHint, kHint);
    EXPECT_EQ(RunMarkers(), "open list done ");
    ExpectClosedClaimsOnServer();
    ExpectStagingEmpty();

    // Discarded for good: no further run at the one-minute mark, only the interval from now on.
    EXPECT_EQ(form->FirstRunTimer(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(firstRun.isNull());
    EXPECT_TRUE(form->UploadTimer()->isActive());
    EXPECT_EQ(form->UploadTimer()->interval(), 61000);
}

TEST_F(FormUploadRunTest, FiringDuringARunWaitsForItsEndThenRuns)
{
    enum class Trigger { FirstRunTimer, TimerHandler, MenuItem };
    struct Case
    {
        Trigger start;
        Trigger during;
        const char* name;
    };
    const Case cases[] = {
        { Trigger::FirstRunTimer, Trigger::TimerHandler, "timer firing during a timer's run" },
        { Trigger::FirstRunTimer, Trigger::MenuItem, "Upload Claims during a timer's run" },
        { Trigger::MenuItem, Trigger::TimerHandler, "timer firing during a run from the menu" },
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A long interval: only the waiting firing can start a second run within the deadline.
        Build(Options("ws" + std::to_string(++n), 900000));
        QSystemTrayIcon tray;
        auto form = Start(&tray);
        QAction* item = UploadClaimsItem(tray);
        ASSERT_NE(item, nullptr);
        const auto fire = [&](Trigger trigger) {
            switch (trigger) {
            case Trigger::FirstRunTimer:
                ASSERT_TRUE(Fire(form->FirstRunTimer()));
                break;
            case Trigger::TimerHandler:
                form->UploadClaimTimer_Timer();
                break;
            case Trigger::MenuItem:
                item->trigger();
                break;
            }
        };

        bool fired = false;
        bool firedDuringRun = false;
        long opensBefore = -1;
        long opensAfter = -1;
        bool busyAfter = false;
        form->Runner().Progress = [&](const upload::ClaimProgress&) {
            if (fired) {
                return;
            }
            fired = true;
            firedDuringRun = form->RunInProgress();
            opensBefore = LogCount(kRunOpens);
            fire(c.during);
            opensAfter = LogCount(kRunOpens);
            busyAfter = form->Busy;
        };
        fire(c.start);

        ASSERT_TRUE(fired);
        EXPECT_TRUE(firedDuringRun);
        EXPECT_EQ(opensAfter, opensBefore); // the firing started nothing inside the run
        EXPECT_EQ(busyAfter, c.start == Trigger::MenuItem);
        EXPECT_EQ(RunMarkers(), "open list done ");
        EXPECT_FALSE(form->Busy);
        ExpectClosedClaimsOnServer();

        // Not lost: it runs once the first run has ended, and finds everything current.
        ASSERT_TRUE(WaitFor([&] { return LogCount(kRunCompleted) >= 2; })) << Log();
        EXPECT_EQ(RunMarkers(), "open list done open list done ");
        EXPECT_EQ(LogCount(kNewClaim), kClosedClaims);
        EXPECT_EQ(LogCount("Processing existing claim number"), 0);
        EXPECT_EQ(notice->balloons, kTwoRuns);
        EXPECT_EQ(notice->trayState, TrayState::Idle);
        EXPECT_FALSE(form->Busy);
        EXPECT_EQ(form->FirstRunTimer(), nullptr);
        EXPECT_TRUE(form->UploadTimer()->isActive());
        EXPECT_EQ(form->UploadTimer()->interval(), 900000);
    }
}

TEST_F(FormUploadRunTest, FiringWhileACommandsRequestWaitsRunsAfterTheRequest)
{
    Build(Options("ws", 900000));
    auto form = Start(nullptr);
    form->Session()->SetSessionCredentials(std::string(kCompany) + "/" + kUser, kPassword);
    bool firedInRequest = false;
    long opensAtFiring = -1;
    // Comes while the request below waits for the server, from the event loop the session keeps running.
    QTimer::singleShot(0, form.get(), [&] {
        firedInRequest = form->Session()->InRequest();
        form->UploadClaimTimer_Timer();
        opensAtFiring = LogCount(kRunOpens);
    });
    const auto status = nlohmann::json::parse(warehouse::Authenticate(*form->Session()), nullptr, false);

    ASSERT_TRUE(firedInRequest) << "the firing did not come while the request waited";
    EXPECT_EQ(opensAtFiring, 0);
    ASSERT_TRUE(status.is_object()) << status.dump();
    EXPECT_EQ(status.value("id", 0), 55); // the command's request got its own answer
    ASSERT_TRUE(WaitFor([&] { return LogCount(kRunCompleted) >= 1; })) << Log();
    EXPECT_EQ(RunMarkers(), "open list done ");
    ExpectClosedClaimsOnServer();
    EXPECT_TRUE(form->UploadTimer()->isActive());
}

TEST_F(FormUploadRunTest, IncompleteSettingsAskForSetupAndTheTimerTriesAgain)
{
    struct Case
    {
        const char* name;
        std::function<void(fixtures::ClaimsDirOptions&)> spoil;
        std::function<void(env::UserPrefs&)> repair;
    };
    const Case cases[] = {
        { "empty password", [](auto& o) { o.warehousePassword = ""; },
          [](env::UserPrefs& p) { p.WritePassword(kPassword); } },
        { "user name of blanks", [](auto& o) { o.warehouseUser = "   "; },
          [](env::UserPrefs& p) { p.WriteUserPref("WName", kUser); } },
        { "no company", [](auto& o) { o.warehouseCompany = ""; },
          [](env::UserPrefs& p) { p.WriteUserPref("WCompany", kCompany); } },
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto options = Options("ws" + std::to_string(++n), 1500);
        c.spoil(options);
        Build(options);
        QSystemTrayIcon tray;
        auto form = Start(&tray);
        QAction* item = UploadClaimsItem(tray);
        ASSERT_NE(item, nullptr);
        item->trigger();

        EXPECT_EQ(notice->trayState, TrayState::Attention);
        EXPECT_EQ(notice->trayHint, kHint);
        EXPECT_EQ(notice->balloons, std::vector<std::string> { kSetupBalloon });
        EXPECT_FALSE(form->Busy);
        EXPECT_TRUE(form->UploadTimer()->isActive());
        EXPECT_EQ(form->UploadTimer()->interval(), 1500);
        EXPECT_EQ(LogCount(kRunOpens), 1);
        EXPECT_EQ(LogCount("WHT Authentication Setting Complete"), 0); // the server was never asked
        for (const auto& [claim, id] : StoredServerIds()) {
            EXPECT_EQ(id, 0) << "claim " << claim;
        }

        // Set up, as the settings window would: the timer's next firing runs, and the attention goes.
        c.repair(form->Prefs());
        ASSERT_TRUE(WaitFor([&] { return LogCount(kRunCompleted) >= 1; })) << Log();
        EXPECT_EQ(RunMarkers(), "open open list done ");
        EXPECT_EQ(notice->balloons, (std::vector<std::string> { kSetupBalloon, kUploadingBalloon, kCurrentBalloon }));
        EXPECT_EQ(notice->trayState, TrayState::Idle);
        EXPECT_EQ(notice->trayHint, kHint);
        ExpectClosedClaimsOnServer();
    }
}

TEST_F(FormUploadRunTest, ClosingDuringARunWaitsForTheRunBeforeReleasingTheSession)
{
    Build(Options("ws", 900000));
    auto form = Start(nullptr);
    bool asked = false;
    bool closedInside = true;
    bool releasedInside = true;
    form->Runner().Progress = [&](const upload::ClaimProgress&) {
        if (!asked) {
            asked = true;
            form->InstanceMessage("1"); // the close request of another program
            closedInside = form->Closed();
            releasedInside = form->Session()->IsReleased();
        }
    };
    ASSERT_TRUE(Fire(form->FirstRunTimer()));
    ASSERT_TRUE(asked);
    EXPECT_FALSE(closedInside);
    EXPECT_FALSE(releasedInside);
    ASSERT_TRUE(WaitFor([&] { return form->Closed(); }));
    EXPECT_TRUE(form->Session()->IsReleased());
    EXPECT_FALSE(form->UploadTimer()->isActive());

    // The claim in hand went whole, the others wait for the next run, and the shutdown line comes
    // after everything the run wrote.
    const auto stored = StoredServerIds();
    EXPECT_GT(stored.at(1), 0);
    EXPECT_EQ(ServerClaims().count(stored.at(1)), 1u);
    EXPECT_EQ(stored.at(2), 0) << "claim 2 should wait for the next run";
    EXPECT_EQ(stored.at(3), 0) << "claim 3 should wait for the next run";
    EXPECT_EQ(LogCount(kNewClaim), 1);
    EXPECT_EQ(LogCount("WHT upload run stopped: The tool is closing"), 1);
    const std::string log = Log();
    const auto shutdown = log.rfind("WHT Shutdown @ ");
    ASSERT_NE(shutdown, std::string::npos);
    EXPECT_EQ(log.find("\r\n", shutdown), log.size() - 2) << log;
    EXPECT_EQ(LogCount("WHT Shutdown @ "), 1);
}

// The tray's "Claim Search": settings first, a fresh sign-in, then the search window, modal, with
// Busy held while it is open and cleared on every way out.
TEST_F(FormUploadRunTest, ClaimSearchItemSignsInThenShowsTheSearchWindow)
{
    struct Case
    {
        const char* name;
        std::function<void(fixtures::ClaimsDirOptions&)> spoil;
        bool windowOpens;
        std::vector<std::string> balloons;
    };
    const Case cases[] = {
        { "incomplete settings", [](auto& o) { o.warehousePassword = ""; }, false, { kSetupBalloon } },
        { "refused sign-in", [](auto& o) { o.warehousePassword = "wrong"; }, false, {} },
        { "signed in", [](auto&) {}, true, {} },
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto options = Options("cs" + std::to_string(++n), 900000);
        c.spoil(options);
        Build(options);
        QSystemTrayIcon tray;
        auto form = Start(&tray);
        QMenu* menu = tray.contextMenu();
        ASSERT_NE(menu, nullptr);
        QAction* item = menu->findChild<QAction*>(QStringLiteral("ClaimSearch1"));
        ASSERT_NE(item, nullptr);
        bool sawWindow = false;
        bool busyWhileOpen = false;
        QString caption;
        // The window is modal: look at it from inside its own event loop, then close it.
        const auto watch = OnCommandWindow(*form, [&] {
            if (QDialog* window = form->CommandWindow()) {
                sawWindow = window->isVisible();
                busyWhileOpen = form->Busy;
                caption = window->windowTitle();
                window->close();
            }
        });
        item->trigger();
        EXPECT_EQ(sawWindow, c.windowOpens);
        EXPECT_FALSE(form->Busy);
        EXPECT_EQ(form->CommandWindow(), nullptr);
        if (c.windowOpens) {
            EXPECT_TRUE(busyWhileOpen);
            EXPECT_EQ(caption, QStringLiteral("Claim Search"));
            EXPECT_EQ(LogCount("WHT Authentication Setting Complete"), 1) << Log();
        } else {
            EXPECT_EQ(notice->trayState, TrayState::Attention);
        }
        if (!c.balloons.empty()) {
            EXPECT_EQ(notice->balloons, c.balloons);
        } else if (!c.windowOpens) {
            EXPECT_EQ(notice->balloons.size(), 1u); // the sign-in's own refusal balloon
        }
        // Spin the loop so a timer left over from a case without a window does no harm later.
        QCoreApplication::processEvents();
    }
}

// Asked to close while the search window is open (a second start with "close", or the end of the
// session), the form closes the window first and only then lets its session go.
TEST_F(FormUploadRunTest, ClosingWhileTheSearchWindowIsOpenClosesTheWindowFirst)
{
    Build(Options("csclose", 900000));
    QSystemTrayIcon tray;
    auto form = Start(&tray);
    QAction* item = tray.contextMenu()->findChild<QAction*>(QStringLiteral("ClaimSearch1"));
    ASSERT_NE(item, nullptr);
    bool closedWhileOpen = true;
    const auto watch = OnCommandWindow(*form, [&] {
        ASSERT_NE(form->CommandWindow(), nullptr);
        form->InstanceMessage("1");
        closedWhileOpen = form->Closed();
    });
    item->trigger();
    EXPECT_FALSE(closedWhileOpen); // not before the window had gone
    EXPECT_EQ(form->CommandWindow(), nullptr);
    EXPECT_TRUE(WaitFor([&] { return form->Closed(); }));
}

// The tray's "Auxiliary Files": the checking balloon and hint, settings first, a fresh sign-in,
// the server's list, then the window primed with it; Busy held while it is open and cleared, with
// the hint put back, on every way out.
TEST_F(FormUploadRunTest, AuxiliaryFilesItemPrimesTheWindowWithTheServersList)
{
    const std::string kChecking = "Checking - Auxiliary files";
    const std::string scripted = test::SharedScriptedServer().BaseUrl();
    struct Case
    {
        const char* name;
        std::function<void(fixtures::ClaimsDirOptions&)> spoil;
        bool windowOpens;
        std::map<int, std::string> labels; // kinds with a date; every other row reads NEVER
        std::string lastBalloon; // what the last balloon starts with; empty: only the checking one
    };
    const Case cases[] = {
        { "incomplete settings", [](auto& o) { o.warehouseCompany = ""; }, false, {}, kSetupBalloon },
        { "refused sign-in", [](auto& o) { o.warehousePassword = "wrong"; }, false, {}, "" },
        { "nothing stored yet", [](auto&) {}, true, {}, "" },
        { "kinds in mixed case, one twice",
          [&](auto& o) { o.serverAddress = scripted + "/auxlist/good"; },
          true,
          { { 1, "Updated: 03/04/2011" }, { 2, "Updated: 07/08/2013" } },
          "" },
        { "a list that is no list",
          [&](auto& o) { o.serverAddress = scripted + "/auxlist/bad"; },
          true,
          {},
          "The server's list of auxiliary files is no JSON list" },
        { "the list request fails", [&](auto& o) { o.serverAddress = scripted + "/auxlist/down"; }, true, {}, "503" },
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto options = Options("aux" + std::to_string(++n), 900000);
        c.spoil(options);
        Build(options);
        QSystemTrayIcon tray;
        auto form = Start(&tray);
        QAction* item = tray.contextMenu()->findChild<QAction*>(QStringLiteral("UploadAUXFiles1"));
        ASSERT_NE(item, nullptr);
        bool sawWindow = false;
        bool busyWhileOpen = false;
        std::string hintWhileOpen;
        std::map<int, std::string> labels;
        int enabledGets = 0;
        const auto watch = OnCommandWindow(*form, [&] {
            auto* window = qobject_cast<auxfiles::Tfrm_AUXStatus*>(form->CommandWindow());
            if (!window) {
                return;
            }
            sawWindow = window->isVisible();
            busyWhileOpen = form->Busy;
            hintWhileOpen = notice->trayHint;
            for (int kind = 1; kind <= 8; ++kind) {
                const std::string label = window->DateLabel(kind)->text().toStdString();
                if (label != "Updated: NEVER") {
                    labels[kind] = label;
                }
                enabledGets += window->GetButton(kind)->isEnabled() ? 1 : 0;
            }
            QTest::mouseClick(window->OkButton(), Qt::LeftButton);
        });
        item->trigger();
        EXPECT_EQ(sawWindow, c.windowOpens);
        EXPECT_FALSE(form->Busy);
        EXPECT_EQ(form->CommandWindow(), nullptr);
        EXPECT_EQ(notice->trayHint, kHint);
        ASSERT_FALSE(notice->balloons.empty());
        EXPECT_EQ(notice->balloons.front(), kChecking);
        if (c.windowOpens) {
            EXPECT_TRUE(busyWhileOpen);
            EXPECT_EQ(hintWhileOpen, "Checking Auxiliary Files...");
            EXPECT_EQ(labels, c.labels);
            EXPECT_EQ(enabledGets, static_cast<int>(c.labels.size()));
            EXPECT_EQ(LogCount("WHT Authentication Setting Complete"), 1) << Log();
        } else {
            EXPECT_EQ(notice->trayState, TrayState::Attention);
        }
        if (!c.lastBalloon.empty()) {
            EXPECT_EQ(notice->balloons.size(), 2u);
            EXPECT_NE(notice->balloons.back().find(c.lastBalloon), std::string::npos) << notice->balloons.back();
        } else {
            // Only the checking balloon, or after a refused sign-in the sign-in's own.
            EXPECT_EQ(notice->balloons.size(), c.windowOpens ? 1u : 2u);
        }
        QCoreApplication::processEvents();
    }
}

// One command at a time: with a command's window open the other commands do nothing, Shutdown
// says why it cannot, and once the window has closed every command works again.
TEST_F(FormUploadRunTest, CommandsWaitForTheOneInProgress)
{
    Build(Options("busy", 900000));
    QSystemTrayIcon tray;
    auto form = Start(&tray);
    QMenu* menu = tray.contextMenu();
    EXPECT_EQ(menu->objectName(), QStringLiteral("WarehouseTrayMenu"));
    const auto action = [menu](const char* name) { return menu->findChild<QAction*>(QString::fromLatin1(name)); };
    std::vector<std::string> itemsInOrder;
    for (QAction* item : menu->actions()) {
        itemsInOrder.push_back(item->isSeparator() ? "-" : item->text().toStdString());
    }
    EXPECT_EQ(
        itemsInOrder,
        (std::vector<std::string> { "Upload Claims", "Claim Search", "Auxiliary Files", "-", "Settings", "Shutdown" }));

    std::size_t balloonsInside = 0;
    std::size_t messagesInside = 0;
    QDialog* windowInside = nullptr;
    const auto watch = OnCommandWindow(*form, [&] {
        windowInside = form->CommandWindow();
        const std::size_t balloons = notice->balloons.size();
        action("ClaimSearch1")->trigger();
        action("UploadClaims1")->trigger();
        action("UploadAUXFiles1")->trigger();
        action("Mnu_Settings")->trigger();
        action("Exit1")->trigger();
        balloonsInside = notice->balloons.size() - balloons;
        messagesInside = notice->messages.size();
        EXPECT_EQ(form->CommandWindow(), windowInside); // still the first command's window
        windowInside->close();
    });
    action("UploadAUXFiles1")->trigger();
    ASSERT_NE(windowInside, nullptr);
    EXPECT_EQ(balloonsInside, 0u);
    ASSERT_EQ(messagesInside, 1u);
    EXPECT_EQ(notice->messages[0].text,
              "Warehouse currently being accessed, \r\nplease wait until processing is complete.");
    EXPECT_EQ(LogCount(kListReceived), 0) << "no upload run while the command held Busy";
    EXPECT_FALSE(form->Closed());

    // The window has gone: the search works again at once.
    bool searchOpened = false;
    const auto searchWatch = OnCommandWindow(*form, [&] {
        if (QDialog* window = form->CommandWindow()) {
            searchOpened = window->windowTitle() == QStringLiteral("Claim Search");
            window->close();
        }
    });
    action("ClaimSearch1")->trigger();
    EXPECT_TRUE(searchOpened);
    EXPECT_FALSE(form->Busy);
}

// The tray's "Settings": the dialog, modal with Busy held, then a fresh sign-in with what the
// dialog stored as it went; an upload run afterwards works with those settings.
TEST_F(FormUploadRunTest, SettingsItemSignsInWithWhatTheDialogStored)
{
    const std::string kUpdateBalloon = "Please update your Warehouse settings.";
    struct Case
    {
        const char* name;
        const char* startPassword; // as the fixture stores it
        const char* edit; // the edit the user changes, or nullptr
        const char* typed;
        bool signedIn;
        std::vector<std::string> balloons; // empty: see signedIn
    };
    const Case cases[] = {
        { "confirmed unchanged", kPassword, nullptr, "", true, {} },
        { "a wrong password mended", "wrong", "PasswordEdit", kPassword, true, {} },
        { "company cleared", kPassword, "CompanyEdit", "", false, { kUpdateBalloon } },
        { "a wrong password typed", kPassword, "PasswordEdit", "wrong", false, {} },
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto options = Options("set" + std::to_string(++n), 900000);
        options.warehousePassword = c.startPassword;
        Build(options);
        QSystemTrayIcon tray;
        auto form = Start(&tray);
        QAction* item = tray.contextMenu()->findChild<QAction*>(QStringLiteral("Mnu_Settings"));
        ASSERT_NE(item, nullptr);
        QString caption;
        bool busyWhileOpen = false;
        const auto watch = OnCommandWindow(*form, [&] {
            QDialog* dialog = form->CommandWindow();
            if (!dialog) {
                return;
            }
            caption = dialog->windowTitle();
            busyWhileOpen = form->Busy;
            if (c.edit) {
                auto* edit = dialog->findChild<QLineEdit*>(QString::fromLatin1(c.edit));
                ASSERT_NE(edit, nullptr);
                edit->selectAll();
                QTest::keyClick(edit, Qt::Key_Delete);
                QTest::keyClicks(edit, QString::fromLatin1(c.typed));
            }
            QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("BitBtn1")), Qt::LeftButton);
        });
        item->trigger();
        EXPECT_EQ(caption, QStringLiteral("Warehouse Settings"));
        EXPECT_TRUE(busyWhileOpen);
        EXPECT_FALSE(form->Busy);
        EXPECT_EQ(form->CommandWindow(), nullptr);
        EXPECT_EQ(LogCount("WHT CRODE 11 22 33 44 55"), c.signedIn ? 1 : 0) << Log();
        if (c.signedIn) {
            EXPECT_TRUE(notice->balloons.empty()) << notice->balloons.front();
            // The run reads the same stored settings.
            UploadClaimsItem(tray)->trigger();
            EXPECT_EQ(notice->balloons, kOneRun);
            ExpectClosedClaimsOnServer();
        } else {
            EXPECT_EQ(notice->trayState, TrayState::Attention);
            if (!c.balloons.empty()) {
                EXPECT_EQ(notice->balloons, c.balloons);
            } else {
                EXPECT_EQ(notice->balloons.size(), 1u); // the sign-in's own refusal
            }
        }
        QCoreApplication::processEvents();
    }
}

// A timer's run waiting for the server (frozen here while the first archive goes up) counts as a
// command in progress: Claim Search, Auxiliary Files or Settings chosen then opens nothing inside
// the run and signs in nobody; the command chosen first comes once the run has ended. No false
// refusal, no attention, nothing foreign in the run's log lines, and the run's transfers go on.
TEST_F(FormUploadRunTest, CommandsChosenWhileATimersRunWaitsForTheServerComeAfterTheRun)
{
    struct Case
    {
        const char* name;
        std::vector<const char*> chosen; // menu items, in the order the user picks them
        const char* opensAfter; // the caption of the one window that opens after the run
    };
    const Case cases[] = {
        { "Claim Search", { "ClaimSearch1" }, "Claim Search" },
        { "Auxiliary Files", { "UploadAUXFiles1" }, "Korvan Auxiliary Files" },
        { "Settings", { "Mnu_Settings" }, "Warehouse Settings" },
        { "all three: the first one chosen",
          { "UploadAUXFiles1", "Mnu_Settings", "ClaimSearch1" },
          "Korvan Auxiliary Files" },
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Build(Options("during" + std::to_string(++n), 900000));
        QSystemTrayIcon tray;
        auto form = Start(&tray);
        QMenu* menu = tray.contextMenu();
        ASSERT_NE(menu, nullptr);

        // The server stops answering as the run's first archive is about to go up, and answers
        // again once the commands have been chosen.
        bool frozen = false;
        const auto thaw = [&] {
            if (frozen) {
                ::kill(server.Pid(), SIGCONT);
                frozen = false;
            }
        };
        struct Thaw
        {
            std::function<void()> thaw;
            ~Thaw() { thaw(); }
        } thawOnExit { thaw };
        form->Runner().Progress = [&](const upload::ClaimProgress& progress) {
            if (progress.step == upload::ClaimProgress::Step::Uploading && !frozen && LogCount(kNewClaim) == 1) {
                frozen = ::kill(server.Pid(), SIGSTOP) == 0;
            }
        };

        struct Seen
        {
            std::string caption;
            bool duringRun;
        };
        std::vector<Seen> windows;
        QTimer windowWatch;
        windowWatch.setInterval(20);
        QObject::connect(&windowWatch, &QTimer::timeout, [&] {
            if (QDialog* window = form->CommandWindow(); window && window->isVisible()) {
                windows.push_back({ window->windowTitle().toStdString(), form->RunInProgress() });
                window->close();
            }
        });
        windowWatch.start();

        bool chose = false;
        QTimer chooser;
        chooser.setInterval(20);
        QObject::connect(&chooser, &QTimer::timeout, [&] {
            if (chose || !frozen || !form->RunInProgress() || !form->Session()->InRequest()) {
                return;
            }
            chose = true;
            for (const char* name : c.chosen) {
                QAction* item = menu->findChild<QAction*>(QString::fromLatin1(name));
                ASSERT_NE(item, nullptr) << name;
                item->trigger();
            }
            thaw();
        });
        chooser.start();

        ASSERT_TRUE(Fire(form->FirstRunTimer()));
        ASSERT_TRUE(chose) << "the commands were not chosen while the run waited";
        ASSERT_TRUE(WaitFor([&] { return !windows.empty() && !form->Busy; })) << Log();
        // Give a wrongly remembered second command every chance to show itself.
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        windowWatch.stop();
        chooser.stop();

        ASSERT_EQ(windows.size(), 1u);
        EXPECT_EQ(windows[0].caption, c.opensAfter);
        EXPECT_FALSE(windows[0].duringRun) << "a command's window opened inside the run's wait";
        EXPECT_TRUE(notice->messages.empty()) << notice->messages.front().text;
        EXPECT_NE(notice->trayState, TrayState::Attention);
        for (const std::string& balloon : notice->balloons) {
            EXPECT_EQ(balloon.find("Authentication Error"), std::string::npos) << balloon;
        }
        EXPECT_EQ(LogCount("WHT CRODE 0 0 0 0 -1"), 0) << Log();

        // The run's own lines, from its settings to its completion, hold no other sign-in.
        const std::string log = Log();
        const auto opens = log.find(kRunOpens);
        const auto completed = log.find(kRunCompleted);
        ASSERT_NE(opens, std::string::npos);
        ASSERT_NE(completed, std::string::npos) << log;
        const std::string runBlock = log.substr(opens, completed - opens);
        EXPECT_EQ(test::CountOf(runBlock, kRunOpens), 1u) << runBlock;
        EXPECT_EQ(test::CountOf(runBlock, "WHT Authentication Setting Complete"), 2u) << runBlock;

        // Every archive and document of the run reached the server.
        EXPECT_EQ(LogCount("*** Data Successfully"), kClosedClaims) << Log();
        EXPECT_EQ(LogCount("Request aborted"), 0) << Log();
        ExpectClosedClaimsOnServer();
        EXPECT_FALSE(form->Busy);
        EXPECT_FALSE(form->RunInProgress());
        EXPECT_TRUE(form->UploadTimer()->isActive());
    }
}

// The other way round: a timer firing while a command's window is open waits until the command
// has ended, so that the window's own requests never meet a run in the one session.
TEST_F(FormUploadRunTest, TimerFiringWhileACommandsWindowIsOpenRunsAfterTheCommand)
{
    const char* const items[] = { "ClaimSearch1", "UploadAUXFiles1", "Mnu_Settings" };
    int n = 0;
    for (const char* name : items) {
        SCOPED_TRACE(name);
        Build(Options("open" + std::to_string(++n), 900000));
        QSystemTrayIcon tray;
        auto form = Start(&tray);
        QAction* item = tray.contextMenu()->findChild<QAction*>(QString::fromLatin1(name));
        ASSERT_NE(item, nullptr);
        bool fired = false;
        long listsInside = -1;
        bool busyInside = false;
        const auto watch = OnCommandWindow(*form, [&] {
            fired = Fire(form->FirstRunTimer());
            listsInside = LogCount(kListReceived);
            busyInside = form->Busy;
            form->CommandWindow()->close();
        });
        item->trigger();
        ASSERT_TRUE(fired);
        EXPECT_TRUE(busyInside);
        EXPECT_EQ(listsInside, 0) << "a run took place inside the command's window";
        EXPECT_EQ(notice->messages.size(), 0u);
        // Not lost: the run comes once the command has ended.
        ASSERT_TRUE(WaitFor([&] { return LogCount(kRunCompleted) >= 1; })) << Log();
        EXPECT_EQ(LogCount(kListReceived), 1);
        ExpectClosedClaimsOnServer();
        EXPECT_FALSE(form->Busy);
        EXPECT_EQ(form->FirstRunTimer(), nullptr);
        EXPECT_TRUE(form->UploadTimer()->isActive());
    }
}

// The claims directory's share goes away under the running tool (a file stands where its Warehouse
// folder was): a command that cannot open the activity log shows the error box, and the tool
// stays: Busy cleared, its timers armed, and every command works again once the share is back.
TEST_F(FormUploadRunTest, ACommandThatFailsShowsTheErrorBoxAndTheToolStays)
{
    Build(Options("gone", 900000));
    QSystemTrayIcon tray;
    auto form = Start(&tray);
    QMenu* menu = tray.contextMenu();
    const auto action = [menu](const char* name) { return menu->findChild<QAction*>(QString::fromLatin1(name)); };
    const std::filesystem::path warehouse = layout.claimsDir + "/Warehouse";
    const std::filesystem::path away = layout.claimsDir + "/Warehouse.away";
    std::filesystem::rename(warehouse, away);
    std::ofstream(warehouse) << "not a folder";

    // Whatever window a command still opens is closed at once.
    QTimer closer;
    closer.setInterval(20);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QDialog* window = form->CommandWindow(); window && window->isVisible()) {
            window->close();
        }
    });
    closer.start();

    for (const char* name : { "ClaimSearch1", "UploadAUXFiles1", "Mnu_Settings" }) {
        SCOPED_TRACE(name);
        const std::size_t before = notice->messages.size();
        EXPECT_NO_THROW(action(name)->trigger());
        ASSERT_EQ(notice->messages.size(), before + 1);
        EXPECT_EQ(notice->messages.back().kind, MessageKind::Error);
        EXPECT_NE(notice->messages.back().text.find("Warehouse"), std::string::npos) << notice->messages.back().text;
        EXPECT_FALSE(form->Busy);
        EXPECT_FALSE(form->Closed());
        EXPECT_EQ(form->CommandWindow(), nullptr);
        EXPECT_EQ(notice->trayHint, kHint);
        ASSERT_NE(form->FirstRunTimer(), nullptr);
        EXPECT_TRUE(form->FirstRunTimer()->isActive());
    }

    // The timer's run meets the same fault, says so, and the interval timer is armed again.
    ASSERT_TRUE(Fire(form->FirstRunTimer()));
    EXPECT_TRUE(form->UploadTimer()->isActive());
    EXPECT_FALSE(form->RunInProgress());
    ASSERT_FALSE(notice->balloons.empty());
    EXPECT_EQ(notice->balloons.back().rfind("The upload run stopped: ", 0), 0u) << notice->balloons.back();

    // The share is back: the commands work again.
    std::filesystem::remove(warehouse);
    std::filesystem::rename(away, warehouse);
    closer.stop();
    bool searchOpened = false;
    const auto watch = OnCommandWindow(*form, [&] {
        searchOpened = form->CommandWindow()->windowTitle() == QStringLiteral("Claim Search");
        form->CommandWindow()->close();
    });
    action("ClaimSearch1")->trigger();
    EXPECT_TRUE(searchOpened);
    EXPECT_FALSE(form->Busy);
    action("UploadClaims1")->trigger();
    EXPECT_EQ(LogCount(kRunCompleted), 1) << Log();
    ExpectClosedClaimsOnServer();
}
