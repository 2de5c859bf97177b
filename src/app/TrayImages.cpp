#include "app/TrayImages.h"

#include <QPainter>
#include <QPixmap>

namespace wh::app {
namespace {

QIcon Badge(const QColor& fill, const QString& mark)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(fill.darker(160), 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
    QFont font = painter.font();
    font.setPixelSize(11);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, mark);
    painter.end();
    return QIcon(pixmap);
}

} // namespace

QList<QIcon> MakeTrayImages()
{
    return {
        Badge(QColor(0x2e, 0x7d, 0x32), QStringLiteral("W")), // idle
        Badge(QColor(0xc6, 0x28, 0x28), QStringLiteral("!")), // attention
        Badge(QColor(0x75, 0x75, 0x75), QStringLiteral("W")), // never shown
        Badge(QColor(0x15, 0x65, 0xc0), QStringLiteral("^")), // uploading
    };
}

} // namespace wh::app
