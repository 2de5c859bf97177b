#pragma once

#include <QIcon>
#include <QList>
#include <QPixmap>

namespace wh::app {

// The four images of the tray icon: idle, attention, (unused), uploading. Each is drawn at every
// size a tray or a high-density screen may ask for, so that none is a blurred 16 by 16.
QList<QIcon> MakeTrayImages();

// The program's own icon (the idle image) at one size in pixels, for windows and the icon theme.
QPixmap AppIconPixmap(int size);
QIcon AppIcon();

// The sizes the program's icons are drawn in for the tray and the windows, in pixels.
inline constexpr int kAppIconSizes[] = { 16, 22, 24, 32, 48, 64, 128, 256 };
// The sizes the installed icon theme gets: every fixed size of hicolor that menus, docks and
// software centres ask for (the drawing scales, so none of them is a resized bitmap).
inline constexpr int kThemeIconSizes[] = { 16, 22, 24, 32, 48, 64, 96, 128, 192, 256, 512 };

} // namespace wh::app
