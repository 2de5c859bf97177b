#include "Screenshots.h"

#include <QImage>
#include <QPixmap>
#include <QString>
#include <QWidget>
#include <filesystem>
#include <gtest/gtest.h>

namespace wh::test {

void SaveScreenshot(const QImage& picture, const std::string& fileName)
{
    const std::filesystem::path folder = std::filesystem::path(WH_BINARY_DIR) / "screenshots";
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / fileName;
    EXPECT_TRUE(picture.save(QString::fromStdString(file.string()), "PNG")) << file;
}

void SaveScreenshot(QWidget& window, const std::string& fileName)
{
    SaveScreenshot(window.grab().toImage(), fileName);
}

} // namespace wh::test
