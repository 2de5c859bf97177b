#pragma once

#include <QByteArray>
#include <QDialog>
#include <QMenu>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "app/UploadRun.h"
#include "env/EnginePaths.h"
#include "env/UserNotice.h"
#include "env/UserPrefs.h"
#include "env/WarehouseFuncs.h"
#include "support/text/Clock.h"
#include "warehouse/WarehouseSession.h"

namespace wh::app {

// The tool's hidden main form: it owns the tray icon and its menu, the upload timers, the HTTPS
// session and the local environment, and it is what closes when the tool ends.
class TWarehouseFrm : public QWidget
{
    Q_OBJECT

public:
    // `notice` shows everything the tool tells the user (widgets in the program, a recorder in
    // tests); `arguments` are the command-line arguments after the program name.
    TWarehouseFrm(UserNotice& notice, const text::Clock& clock, QSystemTrayIcon* tray, const QStringList& arguments,
                  const env::EngineFolders& engineFolders, env::WarehouseEnv& env);
    ~TWarehouseFrm() override;

    // Process-wide state of the main form; what the upload run reads and writes (UploadAll, the
    // credentials, the sign-in identity, SignedInOnce) lives in Runner().
    bool DebugMode = false;
    int UploadInterval = 900000;
    bool Busy = false;

    QTimer* UploadTimer() const { return m_uploadTimer.get(); }
    QTimer* FirstRunTimer() const { return m_firstRunTimer.get(); }
    warehouse::WarehouseSession* Session() const { return m_session.get(); }
    UploadRunner& Runner() { return *m_runner; }
    // True from the start to the end of an upload run, whoever started it.
    bool RunInProgress() const { return m_runInProgress; }
    env::UserPrefs& Prefs() { return m_prefs; }
    const env::EngineFolders& EngineFolders() const { return m_engineFolders; }
    bool Installed() const { return m_installed; }

    void SetTrayAttention();
    void ShowBalloon(const std::string& text);

    // Requests that arrive on the instance socket: "0" shows the "already running" notice, "1"
    // closes the tool without the busy test; anything else is ignored.
    void InstanceMessage(const QByteArray& request);

    // Tray menu handlers.
    void UploadClaims1Click();
    // The tray command "Claim Search": the settings, a fresh sign-in, then the search window.
    void ClaimSearch1Click();
    // The tray command "Auxiliary Files": the settings, a fresh sign-in, the server's list, then
    // the auxiliary files window primed with it.
    void AUXFiles_Click();
    // The tray command "Settings": the settings dialog, then a fresh sign-in with what it stored.
    void Mnu_SettingsClick();
    // The window a tray command shows (search, auxiliary files, settings); nullptr otherwise.
    QDialog* CommandWindow() const { return m_commandWindow; }
    void Exit1Click();

    // Both timers land here. A firing during a run, or while a command is in progress (its window
    // open or its request waiting for the server), waits until that has ended.
    void UploadClaimTimer_Timer();

    // The end of the desktop session: balloon, let a command in progress end, then close. Runs
    // once, however often the end is told.
    void SessionEnding();

    void AppMinimize();

    // Every handler of the form's events (menu, timers, the instance socket, the session's end)
    // is connected through this: an error that the handler does not handle itself is shown in the
    // application's error box, and the tool stays in the tray. A command's Busy has been cleared
    // by then and the timers stay armed.
    template <class Handler> auto Guarded(Handler handler)
    {
        return [this, handler = std::move(handler)](auto&&... arguments) mutable {
            RunHandler([&] {
                if constexpr (std::is_invocable_v<Handler&, decltype(arguments)...>) {
                    handler(std::forward<decltype(arguments)>(arguments)...);
                } else {
                    handler(); // the handler needs nothing of what the signal carries
                }
            });
        };
    }
    void RunHandler(const std::function<void()>& handler);

    // Closes the main form: the session is released and the shutdown line written, then the
    // event loop ends. A request still waiting for the server is let finish first, and a run in
    // progress is asked to stop after the claim in hand.
    void CloseForm();
    bool Closed() const { return m_closed; }

signals:
    void FormClosed();

private:
    void FormCreate(const QStringList& arguments);
    void StartupCheck();
    void FormClose();
    void FormDestroy();
    void BuildTrayMenu();
    // Shows a tray command's window modally; a close of the tool closes it first.
    void ShowCommandWindow(QDialog& window);
    // The run of a timer's firing or of "Upload Claims"; a firing that finds a run, a request or
    // another command in progress comes back once it has ended.
    void UploadRun(bool startedByMenu);
    // The end of a run, however it ended: the timer armed again, a command chosen during it started.
    void EndRun();
    // True when a timer's run is in progress: the command is then remembered (the first one
    // chosen; later ones are ignored as while any command is in progress) and comes once the run
    // has ended.
    bool WaitForTimersRun(void (TWarehouseFrm::*command)());
    // The tool is closing or about to: nothing new starts.
    bool Closing() const { return m_closed || m_closeRequested || m_sessionEnding; }

    UserNotice& m_notice;
    const text::Clock& m_clock;
    QSystemTrayIcon* m_tray;
    env::WarehouseEnv& m_env;
    env::EngineFolders m_engineFolders;
    env::UserPrefs m_prefs;
    std::unique_ptr<warehouse::WarehouseSession> m_session;
    std::unique_ptr<UploadRunner> m_runner;
    std::unique_ptr<QTimer> m_uploadTimer;
    std::unique_ptr<QTimer> m_firstRunTimer;
    std::unique_ptr<QMenu> m_trayMenu;
    bool m_installed = false;
    bool m_closed = false;
    QDialog* m_commandWindow = nullptr;
    bool m_closePending = false;
    bool m_sessionEnding = false;
    bool m_runInProgress = false;
    bool m_runWaiting = false; // a firing waits for a run, a request or a command to end
    bool m_closeRequested = false;
    void (TWarehouseFrm::*m_commandAfterRun)() = nullptr; // chosen during a timer's run
};

} // namespace wh::app
