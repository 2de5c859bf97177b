#pragma once

#include <QByteArray>
#include <QMenu>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

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

    // Process-wide state of the main form.
    bool DebugMode = false;
    bool UploadAll = false;
    std::string AuthUserName;
    std::string AuthPassword;
    std::string CompanyName;
    int CompanyID = 0;
    int RegionID = 0;
    int OfficeID = 0;
    int DepartmentID = 0;
    int ServerUserID = -1;
    int UploadInterval = 900000;
    bool SignedInOnce = false;
    bool Busy = false;

    QTimer* UploadTimer() const { return m_uploadTimer.get(); }
    QTimer* FirstRunTimer() const { return m_firstRunTimer.get(); }
    warehouse::WarehouseSession* Session() const { return m_session.get(); }
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
    void Exit1Click();

    // Both timers land here.
    void UploadClaimTimer_Timer();

    // The end of the desktop session: balloon, let a command in progress end, then close. Runs
    // once, however often the end is told.
    void SessionEnding();

    void AppMinimize();

    // Closes the main form: the session is released and the shutdown line written, then the
    // event loop ends. A request still waiting for the server is let finish first.
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

    UserNotice& m_notice;
    const text::Clock& m_clock;
    QSystemTrayIcon* m_tray;
    env::WarehouseEnv& m_env;
    env::EngineFolders m_engineFolders;
    env::UserPrefs m_prefs;
    std::unique_ptr<warehouse::WarehouseSession> m_session;
    std::unique_ptr<QTimer> m_uploadTimer;
    std::unique_ptr<QTimer> m_firstRunTimer;
    std::unique_ptr<QMenu> m_trayMenu;
    bool m_installed = false;
    bool m_closed = false;
    bool m_closePending = false;
    bool m_sessionEnding = false;
};

} // namespace wh::app
