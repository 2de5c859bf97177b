#pragma once

#include <QIcon>
#include <QList>
#include <QString>
#include <QSystemTrayIcon>

#include "env/UserNotice.h"

#include <string>
#include <vector>

namespace wh::app {

// The user notices as widgets: message boxes, the tray icon's balloons, image and hint. Without a
// system tray (a bare X server, the offscreen platform) balloons and tray states are written to
// standard error instead, so nothing the tool says is lost. With a tray, every balloon that reaches
// it is noted on standard error too, with whether its window is on screen.
class QtUserNotice : public UserNotice
{
public:
    QtUserNotice(QSystemTrayIcon& tray, QList<QIcon> images);

    // Shows the icon and delivers the balloons held while it was hidden: a hidden icon drops them.
    void ShowTray();

    void ShowMessage(MessageKind kind, const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    void ShowBalloon(const std::string& text) override;
    void SetTrayState(TrayState state, const std::string& hint) override;
    void SetTrayHint(const std::string& hint) override;
    void SetBusyCursor(bool busy) override;

    TrayState State() const { return m_state; }

private:
    bool HasTray() const;
    void DeliverBalloon(const QString& title, const QString& text);

    QSystemTrayIcon& m_tray;
    QList<QIcon> m_images;
    std::vector<std::string> m_heldBalloons;
    TrayState m_state = TrayState::Idle;
    bool m_busyCursor = false;
};

// Windows-1252 bytes of the core to the display's text, and back.
QString FromAnsi(const std::string& text);
std::string ToAnsi(const QString& text);

} // namespace wh::app
