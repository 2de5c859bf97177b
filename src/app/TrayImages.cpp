#include "app/TrayImages.h"

#include <QPainter>

namespace wh::app {
namespace {

const QColor kIdle(0x2e, 0x7d, 0x32);

// A rounded badge with a white mark, drawn for a square of `size` pixels: the 16-pixel design
// scaled, with the outline kept at least one pixel wide.
QPixmap BadgePixmap(const QColor& fill, const QString& mark, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const qreal scale = size / 16.0;
    const qreal pen = std::max<qreal>(1.0, scale);
    painter.setPen(QPen(fill.darker(160), pen));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(pen / 2, pen / 2, size - pen, size - pen), 3 * scale, 3 * scale);
    QFont font = painter.font();
    font.setPixelSize(std::max(1, qRound(11 * scale)));
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, mark);
    painter.end();
    return pixmap;
}

QIcon Badge(const QColor& fill, const QString& mark)
{
    QIcon icon;
    for (const int size : kAppIconSizes) {
        icon.addPixmap(BadgePixmap(fill, mark, size));
    }
    return icon;
}

} // namespace

QList<QIcon> MakeTrayImages()
{
    return {
        Badge(kIdle, QStringLiteral("W")), // idle
        Badge(QColor(0xc6, 0x28, 0x28), QStringLiteral("!")), // attention
        Badge(QColor(0x75, 0x75, 0x75), QStringLiteral("W")), // never shown
        Badge(QColor(0x15, 0x65, 0xc0), QStringLiteral("^")), // uploading
    };
}

QPixmap AppIconPixmap(int size)
{
    return BadgePixmap(kIdle, QStringLiteral("W"), size);
}

QIcon AppIcon()
{
    return Badge(kIdle, QStringLiteral("W"));
}

} // namespace wh::app
