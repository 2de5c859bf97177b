#pragma once

#include <QIcon>
#include <QList>

namespace wh::app {

// The four 16 by 16 images of the tray icon: idle, attention, (unused), uploading.
QList<QIcon> MakeTrayImages();

} // namespace wh::app
