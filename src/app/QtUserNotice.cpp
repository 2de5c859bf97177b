#include "app/QtUserNotice.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <utility>

#include "support/text/Win1252.h"

namespace wh::app {
namespace {

void ToStandardError(const std::string& prefix, const std::string& text)
{
    std::fprintf(stderr, "%s%s\n", prefix.c_str(), text::Win1252ToUtf8(text).c_str());
    std::fflush(stderr);
}

const char* StateName(TrayState state)
{
    switch (state) {
    case TrayState::Idle:
        return "idle";
    case TrayState::Attention:
        return "attention";
    case TrayState::Uploading:
        return "uploading";
    }
    return "idle";
}

int ImageIndex(TrayState state)
{
    switch (state) {
    case TrayState::Idle:
        return 0;
    case TrayState::Attention:
        return 1;
    case TrayState::Uploading:
        return 3; // the third image is never shown
    }
    return 0;
}

} // namespace

QString FromAnsi(const std::string& text)
{
    return QString::fromStdString(text::Win1252ToUtf8(text));
}

std::string ToAnsi(const QString& text)
{
    return text::Utf8ToWin1252(text.toStdString());
}

QtUserNotice::QtUserNotice(QSystemTrayIcon& tray, QList<QIcon> images)
    : m_tray(tray)
    , m_images(std::move(images))
{
    // The icon starts idle; an icon without an image cannot be shown.
    if (!m_images.isEmpty()) {
        m_tray.setIcon(m_images[ImageIndex(m_state)]);
    }
}

bool QtUserNotice::HasTray() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtUserNotice::ShowMessage(MessageKind kind, const std::string& text)
{
    if (!HasTray()) {
        ToStandardError("Warehouse Upload: ", text);
    }
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Warehouse Upload"));
    box.setText(FromAnsi(text));
    box.setStandardButtons(QMessageBox::Ok);
    box.setIcon(kind == MessageKind::Error         ? QMessageBox::Critical
                    : kind == MessageKind::Warning ? QMessageBox::Warning
                                                   : QMessageBox::Information);
    box.exec();
}

bool QtUserNotice::AskYesNo(const std::string& text)
{
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Warehouse Upload"));
    box.setText(FromAnsi(text));
    box.setIcon(QMessageBox::Warning);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void QtUserNotice::ShowTray()
{
    m_tray.show();
    for (const std::string& text : std::exchange(m_heldBalloons, {})) {
        ShowBalloon(text);
    }
}

void QtUserNotice::ShowBalloon(const std::string& text)
{
    const std::string shown = CutBalloonText(text);
    const std::string title = std::string(kBalloonTitle).substr(0, kBalloonTitleLimit);
    if (!HasTray()) {
        ToStandardError(title + ": ", shown);
        return;
    }
    if (!m_tray.isVisible()) {
        m_heldBalloons.push_back(shown);
        return;
    }
    DeliverBalloon(FromAnsi(title), FromAnsi(shown));
}

void QtUserNotice::DeliverBalloon(const QString& title, const QString& text)
{
    m_tray.showMessage(title, text, QSystemTrayIcon::Information, 10000);
    // Where the tray host has no balloons of its own, Qt draws one as a window of its own; whether
    // that window is up is the only sign, short of looking at the screen, that the user sees it.
    bool onScreen = false;
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
        if (qstrcmp(widget->metaObject()->className(), "QBalloonTip") == 0 && widget->isVisible()) {
            onScreen = true;
        }
    }
    ToStandardError(std::string(kBalloonTitle) + " balloon reached the tray: ",
                    ToAnsi(text) + (onScreen ? " (balloon window on screen)" : " (balloon window not on screen)"));
}

void QtUserNotice::SetTrayState(TrayState state, const std::string& hint)
{
    const bool changed = state != m_state;
    m_state = state;
    const int index = ImageIndex(state);
    if (index < m_images.size()) {
        m_tray.setIcon(m_images[index]);
    }
    m_tray.setToolTip(FromAnsi(hint));
    if (!HasTray() && changed) {
        ToStandardError("Warehouse Tool tray: ", std::string(StateName(state)) + " (" + hint + ")");
    }
}

void QtUserNotice::SetTrayHint(const std::string& hint)
{
    m_tray.setToolTip(FromAnsi(hint));
}

void QtUserNotice::SetBusyCursor(bool busy)
{
    if (busy == m_busyCursor) {
        return;
    }
    m_busyCursor = busy;
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

} // namespace wh::app
