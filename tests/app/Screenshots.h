#pragma once

#include <string>

class QImage;
class QWidget;

namespace wh::test {

// Saves a picture of the window as `fileName` (PNG) in the build folder's screenshots/, and fails
// the test when it cannot.
void SaveScreenshot(QWidget& window, const std::string& fileName);
void SaveScreenshot(const QImage& picture, const std::string& fileName);

} // namespace wh::test
