// The tray tool: one instance per desktop session, a hidden main form with its tray icon, and
// the upload timers. Its only argument is an optional DEBUG (or --version, --help).
#include <QApplication>
#include <QSystemTrayIcon>

#include <cstdio>
#include <cstring>

#include "app/QtUserNotice.h"
#include "app/SessionEnd.h"
#include "app/SingleInstance.h"
#include "app/TrayImages.h"
#include "app/WarehouseApplication.h"
#include "app/WarehouseUI.h"
#include "env/EnginePaths.h"
#include "env/WarehouseFuncs.h"
#include "support/text/Clock.h"
#include "support/version/Version.h"

using namespace wh;

int main(int argc, char** argv)
{
    // Answered before Qt starts, so that it needs no display and leaves a running instance alone.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", version::VersionLine("whupload").c_str());
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("Usage: whupload [DEBUG]\n"
                    "       whupload --version\n"
                    "The Warehouse Upload Tool in the notification area: uploads the closed claims on its\n"
                    "timer and offers Upload Claims, Claim Search, Auxiliary Files and Settings from its\n"
                    "icon's menu. DEBUG also writes ClaimList.txt and ProcessFileList.txt into the claims\n"
                    "directory's Warehouse folder during upload runs. The same jobs without a display:\n"
                    "whupload-cli --help. More: man whupload.\n");
        return 0;
    }
    app::WarehouseApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Warehouse Upload"));
    // The desktop matches the windows to whupload.desktop and its icon by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("whupload"));
    QApplication::setWindowIcon(app::AppIcon());
    // Message boxes are the only windows; closing one must not end the tool.
    QApplication::setQuitOnLastWindowClosed(false);

    app::SingleInstance instance;
    if (!instance.Claim()) {
        // Another instance runs: tell it, and leave no other trace.
        app::SingleInstance::Send("0");
        return 0;
    }

    QSystemTrayIcon tray;
    tray.setObjectName(QStringLiteral("WarehouseTray"));
    tray.setToolTip(QStringLiteral("Warehouse Upload Tool"));
    app::QtUserNotice notice(tray, app::MakeTrayImages());
    // The event loop's last-line error box uses the tool's notices while they exist.
    application.SetErrorNotice(&notice);
    struct ForgetNotice
    {
        app::WarehouseApplication& application;
        ~ForgetNotice() { application.SetErrorNotice(nullptr); }
    } forgetNotice { application };
    text::SystemClock clock;
    bool endRequested = false;
    env::WarehouseEnv environment(notice, clock, [&endRequested] { endRequested = true; });

    const env::EngineFolders engineFolders = env::SetEnginePaths(environment);
    if (endRequested) {
        return 0; // the alias file is missing: its message has been shown
    }
    // Without a claims directory the log, warehouse.ini and the templates would all be looked for
    // in whatever folder the tool was started from.
    if (environment.GetClaimsDir().empty()) {
        notice.ShowMessage(MessageKind::Error, env::kAliasFileMessage);
        return 0;
    }

    // A hidden icon drops balloons, and start-up may already have one to show.
    notice.ShowTray();
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    app::TWarehouseFrm form(notice, clock, &tray, arguments, engineFolders, environment);

    app::SessionEnd sessionEnd(form);
    QObject::connect(&instance, &app::SingleInstance::RequestReceived, &form,
                     form.Guarded([&form](const QByteArray& request) { form.InstanceMessage(request); }));
    QApplication::exec();
    return 0;
}
