#include "app/WarehouseUI.h"

#include <QApplication>
#include <QCloseEvent>
#include <QWidget>
#include <cstdio>

#include "app/WarehouseApplication.h"
#include "auxfiles/AUX_Files.h"
#include "auxfiles/AuxTransfer.h"
#include "env/ActivityLog.h"
#include "env/Dwhpref.h"
#include "env/IniFile.h"
#include "restore/ClaimSearchForm.h"
#include "support/Errors.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"
#include "warehouse/WarehouseTrans.h"

namespace wh::app {
namespace {

constexpr const char* kHint = "Warehouse Upload Tool";
constexpr int kDefaultInterval = 900000;
constexpr int kFirstRunDelay = 60000;

// A tray command holds Busy from its start and clears it on every way out, an error escaping a
// window included.
class BusyScope
{
public:
    explicit BusyScope(bool& busy)
        : m_busy(busy)
    {
        m_busy = true;
    }
    ~BusyScope() { m_busy = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool& m_busy;
};

} // namespace

TWarehouseFrm::TWarehouseFrm(UserNotice& notice, const text::Clock& clock, QSystemTrayIcon* tray,
                             const QStringList& arguments, const env::EngineFolders& engineFolders,
                             env::WarehouseEnv& env)
    : m_notice(notice)
    , m_clock(clock)
    , m_tray(tray)
    , m_env(env)
    , m_engineFolders(engineFolders)
    , m_prefs(env)
{
    setWindowTitle(QStringLiteral("Warehouse Upload"));
    FormCreate(arguments);
}

TWarehouseFrm::~TWarehouseFrm()
{
    FormDestroy();
}

void TWarehouseFrm::FormCreate(const QStringList& arguments)
{
    Busy = false;
    DebugMode = false;
    // Only the first argument counts, without regard to case and without a switch prefix.
    if (!arguments.isEmpty() && arguments.first().toUpper() == QStringLiteral("DEBUG")) {
        DebugMode = true;
    }
    BuildTrayMenu();
    m_session = warehouse::CreateWarehouseSession(m_env);
    // Requests keep the event loop running while they wait: timers, the tray and the instance
    // socket stay alive.
    m_session->SetIdleHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 20); });
    m_runner = std::make_unique<UploadRunner>(m_env, m_prefs, *m_session, m_notice);
    m_env.PrepareLocalFolders();
    text::SetProcessDateConventions(text::StartupDateConventions());
    StartupCheck();
}

void TWarehouseFrm::BuildTrayMenu()
{
    if (!m_tray) {
        return;
    }
    m_trayMenu = std::make_unique<QMenu>();
    m_trayMenu->setObjectName(QStringLiteral("WarehouseTrayMenu"));
    QAction* upload = m_trayMenu->addAction(QStringLiteral("Upload Claims"));
    upload->setObjectName(QStringLiteral("UploadClaims1"));
    connect(upload, &QAction::triggered, this, Guarded([this] { UploadClaims1Click(); }));
    QAction* search = m_trayMenu->addAction(QStringLiteral("Claim Search"));
    search->setObjectName(QStringLiteral("ClaimSearch1"));
    connect(search, &QAction::triggered, this, Guarded([this] { ClaimSearch1Click(); }));
    QAction* aux = m_trayMenu->addAction(QStringLiteral("Auxiliary Files"));
    aux->setObjectName(QStringLiteral("UploadAUXFiles1"));
    connect(aux, &QAction::triggered, this, Guarded([this] { AUXFiles_Click(); }));
    m_trayMenu->addSeparator();
    QAction* settings = m_trayMenu->addAction(QStringLiteral("Settings"));
    settings->setObjectName(QStringLiteral("Mnu_Settings"));
    connect(settings, &QAction::triggered, this, Guarded([this] { Mnu_SettingsClick(); }));
    QAction* exit = m_trayMenu->addAction(QStringLiteral("Shutdown"));
    exit->setObjectName(QStringLiteral("Exit1"));
    connect(exit, &QAction::triggered, this, Guarded([this] { Exit1Click(); }));
    m_tray->setContextMenu(m_trayMenu.get());
}

void TWarehouseFrm::StartupCheck()
{
    UploadInterval = kDefaultInterval;
    m_notice.SetTrayState(TrayState::Idle, kHint);

    try {
        m_session->SetServerBase(text::Trim(m_env.ReadWarehouseIniValue("WServer")));
    } catch (const Error& e) {
        // Without warehouse.ini no request can reach a server: say so and arm nothing.
        SetTrayAttention();
        m_notice.ShowMessage(MessageKind::Error, e.what());
        return;
    }

    if (!platform::FileExists(platform::ResolveNoCase(m_env.TempArcsDir(), "Arcs.DB"))) {
        SetTrayAttention();
        ShowBalloon("Warehouse Upload Tool is not installed properly.");
        return;
    }
    m_installed = true;

    const std::string logPath = m_env.ActivityLogPath();
    env::LimitLogSize(logPath);
    try {
        env::ActivityLog log(logPath, m_clock);
        log.WriteLine("");
        log.WriteStamped("~~~~~WHT launch warehouse tool");
    } catch (const Error& e) {
        m_notice.ShowMessage(MessageKind::Error, e.what());
    }

    env::IniFile ini;
    ini.Load(m_env.WarehouseIniPath());
    UploadInterval = ini.ReadInteger("Check", "Interval", kDefaultInterval);
    // A zero-length timer would start the next run the moment one ends.
    if (UploadInterval <= 0) {
        UploadInterval = kDefaultInterval;
    }

    m_uploadTimer = std::make_unique<QTimer>();
    m_uploadTimer->setInterval(UploadInterval);
    connect(m_uploadTimer.get(), &QTimer::timeout, this, Guarded([this] { UploadClaimTimer_Timer(); }));

    // With a long interval the first run comes one minute after start-up; with a short one the
    // user starts the first run from the menu.
    if (UploadInterval > kFirstRunDelay) {
        m_firstRunTimer = std::make_unique<QTimer>();
        m_firstRunTimer->setSingleShot(true);
        m_firstRunTimer->setInterval(kFirstRunDelay);
        connect(m_firstRunTimer.get(), &QTimer::timeout, this, Guarded([this] { UploadClaimTimer_Timer(); }));
        m_firstRunTimer->start();
    }
}

void TWarehouseFrm::SetTrayAttention()
{
    m_notice.SetTrayState(TrayState::Attention, kHint);
}

void TWarehouseFrm::ShowBalloon(const std::string& text)
{
    m_notice.ShowBalloon(text);
}

void TWarehouseFrm::InstanceMessage(const QByteArray& request)
{
    if (request == "0") {
        ShowBalloon("Warehouse Upload Tool already running.");
    } else if (request == "1") {
        CloseForm();
    }
}

void TWarehouseFrm::RunHandler(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (...) {
        ReportUnhandledError(&m_notice, UnhandledErrorText(std::current_exception()));
    }
}

void TWarehouseFrm::UploadClaims1Click()
{
    if (Busy) {
        return;
    }
    const BusyScope busy(Busy);
    UploadRun(true);
}

bool TWarehouseFrm::WaitForTimersRun(void (TWarehouseFrm::*command)())
{
    // A run from the menu holds Busy, so a run in progress here is a timer's. Its sign-in and
    // transfers use the one session: a command's sign-in now would be refused, and a window opened
    // inside the run's wait would hold its transfer until it closed.
    if (!m_runInProgress) {
        return false;
    }
    if (!m_commandAfterRun) {
        m_commandAfterRun = command;
    }
    return true;
}

void TWarehouseFrm::ClaimSearch1Click()
{
    if (Busy || WaitForTimersRun(&TWarehouseFrm::ClaimSearch1Click)) {
        return;
    }
    const BusyScope busy(Busy);
    // Incomplete settings and a refused sign-in have shown their balloons; no window then.
    if (!m_runner->SignInAfresh() || m_closed) {
        return;
    }
    restore::Tfrm_ClaimSearch window(m_env, m_prefs, *m_session, m_notice, m_clock, m_engineFolders.privateDir);
    ShowCommandWindow(window);
}

void TWarehouseFrm::ShowCommandWindow(QDialog& window)
{
    m_commandWindow = &window;
    struct Forget
    {
        QDialog*& window;
        ~Forget() { window = nullptr; }
    } forget { m_commandWindow };
    window.exec();
}

void TWarehouseFrm::Mnu_SettingsClick()
{
    if (Busy || WaitForTimersRun(&TWarehouseFrm::Mnu_SettingsClick)) {
        return;
    }
    const BusyScope busy(Busy);
    {
        // The dialog stores its settings as it is destroyed: the sign-in below reads them after.
        env::Tform_dwhpref dialog(m_env, m_prefs, m_notice);
        ShowCommandWindow(dialog);
    }
    if (m_closed) {
        return;
    }
    if (!m_runner->SettingsReadable()) {
        return;
    }
    if (m_runner->LoadWarehouseSettings()) {
        env::ActivityLog log(m_env);
        m_runner->SignIn(log, true);
    } else {
        SetTrayAttention();
        ShowBalloon("Please update your Warehouse settings.");
    }
}

void TWarehouseFrm::AUXFiles_Click()
{
    if (Busy || WaitForTimersRun(&TWarehouseFrm::AUXFiles_Click)) {
        return;
    }
    const BusyScope busy(Busy);
    // The hint goes back on every way out.
    struct RestoreHint
    {
        UserNotice& notice;
        ~RestoreHint() { notice.SetTrayHint(kHint); }
    } restoreHint { m_notice };
    ShowBalloon("Checking - Auxiliary files");
    m_notice.SetTrayHint("Checking Auxiliary Files...");
    if (!m_runner->SignInAfresh() || m_closed) {
        return;
    }
    const std::string list = warehouse::AuxGetList(*m_session);
    if (m_closed) {
        return;
    }
    auxfiles::Tfrm_AUXStatus window(m_env, *m_session, m_notice);
    if (list.empty()) {
        // A blank balloon would tell nothing.
        if (!m_session->LastServerMessage().empty()) {
            ShowBalloon(m_session->LastServerMessage());
        }
    } else {
        // A list the tool cannot read counts as no list: every Get stays disabled.
        std::string problem;
        if (const auto dates = auxfiles::ParseAuxList(list, &problem)) {
            window.ShowServerDates(*dates);
        } else {
            ShowBalloon(problem);
        }
    }
    ShowCommandWindow(window);
}

void TWarehouseFrm::UploadClaimTimer_Timer()
{
    UploadRun(false);
}

void TWarehouseFrm::UploadRun(bool startedByMenu)
{
    if (Closing()) {
        return;
    }
    if (m_uploadTimer) {
        m_uploadTimer->stop();
    }
    if (m_firstRunTimer) {
        // This may be the first-run timer's own firing: it goes once the firing is over.
        m_firstRunTimer->stop();
        m_firstRunTimer.release()->deleteLater();
    }
    // The session carries one request at a time, and two runs would walk the same claims: a
    // firing that finds either in progress comes back once it has ended. So does a firing during
    // a command: the command's window sends its own requests (and restores claims) while it is
    // open, and a run inside it would have them refused or walk claims under a restore.
    if (m_runInProgress || m_session->InRequest() || (Busy && !startedByMenu)) {
        if (!m_runWaiting) {
            m_runWaiting = true;
            const auto again = [this] {
                m_runWaiting = false;
                UploadRun(false);
            };
            QTimer::singleShot(500, this, Guarded(again));
        }
        return;
    }
    // Whatever way the run ends, an error escaping it included, the timer is armed again and a
    // command chosen during it comes.
    struct RunEnd
    {
        TWarehouseFrm& form;
        ~RunEnd() { form.EndRun(); }
    } runEnd { *this };
    m_runInProgress = true;
    m_runner->DebugMode = DebugMode;
    m_runner->RunScheduledUpload();
}

void TWarehouseFrm::EndRun()
{
    m_runInProgress = false;
    // The next automatic run comes one full interval after this one ends. Without an upload
    // timer (the installation check failed) nothing runs automatically.
    if (m_uploadTimer && !m_closed) {
        m_uploadTimer->start(UploadInterval);
    }
    const auto command = std::exchange(m_commandAfterRun, nullptr);
    if (command && !Closing()) {
        // From the event loop, not from inside the run's handler: the command may open a window.
        const auto start = [this, command] {
            if (!Closing()) {
                (this->*command)();
            }
        };
        QTimer::singleShot(0, this, Guarded(start));
    }
}

void TWarehouseFrm::Exit1Click()
{
    if (Busy) {
        m_notice.ShowMessage(MessageKind::Information,
                             "Warehouse currently being accessed, \r\nplease wait until processing is complete.");
        return;
    }
    CloseForm();
}

void TWarehouseFrm::SessionEnding()
{
    // The session's end is told more than once (a signal, then the session manager's quit): one
    // balloon and one wait are all it takes.
    if (m_closed || m_sessionEnding) {
        return;
    }
    m_sessionEnding = true;
    ShowBalloon("System Shutdown");
    // A command in progress runs below this handler on the same thread: close its window so it
    // can end, then look at Busy once a second until it has.
    auto waitForCommand = std::make_shared<std::function<void()>>();
    *waitForCommand = [this, waitForCommand] {
        if (!Busy) {
            CloseForm();
            return;
        }
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
        }
        QTimer::singleShot(1000, this, Guarded(*waitForCommand));
    };
    (*waitForCommand)();
}

void TWarehouseFrm::AppMinimize()
{
    hide();
}

void TWarehouseFrm::CloseForm()
{
    if (m_closed) {
        return;
    }
    m_closeRequested = true;
    // Releasing the session under a waiting request, or under a run between two requests, would
    // leave them without their client: the run stops after the claim in hand, then the form closes.
    if (m_runInProgress) {
        m_runner->RequestStop();
    }
    // A command's window works with the session too: it closes first, and the form after it.
    if (m_commandWindow) {
        m_commandWindow->close();
    }
    if (m_runInProgress || m_commandWindow || (m_session && m_session->InRequest())) {
        if (!m_closePending) {
            m_closePending = true;
            const auto again = [this] {
                m_closePending = false;
                CloseForm();
            };
            QTimer::singleShot(100, this, Guarded(again));
        }
        return;
    }
    FormClose();
}

void TWarehouseFrm::FormClose()
{
    m_closed = true;
    if (m_uploadTimer) {
        m_uploadTimer->stop();
    }
    if (m_firstRunTimer) {
        m_firstRunTimer->stop();
    }
    warehouse::FreeWarehouseSession(m_session);
    try {
        env::ActivityLog log(m_env.ActivityLogPath(), m_clock);
        log.WriteStamped("WHT Shutdown");
    } catch (const Error& e) {
        std::fprintf(stderr, "Warehouse Upload: %s\n", e.what());
    }
    emit FormClosed();
}

void TWarehouseFrm::FormDestroy()
{
    m_prefs.FreeUserPrefsCache();
    m_firstRunTimer.reset();
    m_uploadTimer.reset();
    if (m_tray) {
        m_tray->setContextMenu(nullptr);
    }
}

} // namespace wh::app
