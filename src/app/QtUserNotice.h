#pragma once

#include <QIcon>
#include <QList>
#include <QPointer>
#include <QSystemTrayIcon>

#include "env/UserNotice.h"

namespace wh::app {

// The user notices as widgets: message boxes, the tray icon's balloons, image and hint. Without a
// system tray (a bare X server, the offscreen platform) balloons and tray states are written to
// standard error instead, so nothing the tool says is lost.
class QtUserNotice : public UserNotice
{
public:
    QtUserNotice(QSystemTrayIcon& tray, QList<QIcon> images);

    void ShowMessage(MessageKind kind, const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    void ShowBalloon(const std::string& text) override;
    void SetTrayState(TrayState state, const std::string& hint) override;
    void SetTrayHint(const std::string& hint) override;
    void SetBusyCursor(bool busy) override;

    TrayState State() const { return m_state; }

private:
    bool HasTray() const;

    QSystemTrayIcon& m_tray;
    QList<QIcon> m_images;
    TrayState m_state = TrayState::Idle;
    bool m_busyCursor = false;
};

// Windows-1252 bytes of the core to the display's text, and back.
QString FromAnsi(const std::string& text);
std::string ToAnsi(const QString& text);

} // namespace wh::app
