// Writes the program's icon into an icon theme tree, one PNG per size:
// FOLDER/hicolor/NxN/apps/whupload.png. The build runs it so that the installed icons are the
// ones the program draws.
#include <QApplication>
#include <QDir>
#include <cstdio>

#include "app/TrayImages.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: whupload_icons FOLDER\n");
        return 2;
    }
    QApplication application(argc, argv);
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (const int size : wh::app::kThemeIconSizes) {
        const QString folder = QStringLiteral("%1/hicolor/%2x%2/apps").arg(root).arg(size);
        const QString file = folder + QStringLiteral("/whupload.png");
        if (!QDir().mkpath(folder) || !wh::app::AppIconPixmap(size).save(file, "PNG")) {
            std::fprintf(stderr, "whupload_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
