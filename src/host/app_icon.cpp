#include "host/app_icon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace pelu::host {

QImage paint_app_icon(int size_px)
{
    QImage image(size_px, size_px, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // Drawn on a 256-unit grid, as in the SVG.
    painter.scale(size_px / 256.0, size_px / 256.0);

    QLinearGradient background(0, 16, 0, 240);
    background.setColorAt(0, QColor(0x3a, 0x6e, 0xa5));
    background.setColorAt(1, QColor(0x1b, 0x3a, 0x5c));
    painter.setPen(Qt::NoPen);
    painter.setBrush(background);
    painter.drawRoundedRect(QRectF(16, 16, 224, 224), 44, 44);

    // The globe: rim, equator and one meridian.
    const QColor globe(0xcf, 0xe3, 0xf7);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(globe, 10));
    painter.drawEllipse(QPointF(128, 118), 70, 70);
    painter.setPen(QPen(globe, 8));
    painter.drawLine(QPointF(58, 118), QPointF(198, 118));
    painter.drawEllipse(QPointF(128, 118), 30, 70);

    // The note, outlined in the background's dark blue so it stands off the globe.
    QPainterPath note;
    note.addRect(QRectF(170, 96, 12, 90));
    QPainterPath flag;
    flag.moveTo(182, 96);
    flag.cubicTo(206, 108, 214, 128, 200, 150);
    flag.cubicTo(206, 130, 196, 118, 182, 116);
    flag.closeSubpath();
    note = note.united(flag);
    QPainterPath head;
    head.addEllipse(QPointF(0, 0), 30, 22);
    QTransform tilt;
    tilt.translate(152, 186);
    tilt.rotate(-20);
    note = note.united(tilt.map(head));
    painter.setPen(QPen(QColor(0x1b, 0x3a, 0x5c), 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(QColor(0xff, 0x9a, 0x2e));
    painter.drawPath(note);
    painter.end();
    return image;
}

QIcon app_icon()
{
    // The installed theme's icon when there is one; else the same, drawn here.
    QIcon icon;
    for (int size : kIconSizes)
        icon.addPixmap(QPixmap::fromImage(paint_app_icon(size)));
    return QIcon::fromTheme(QString::fromLatin1(kIconName), icon);
}

} // namespace pelu::host
