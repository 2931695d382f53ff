#include "app/shell/AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {
QPixmap Draw(int s) {
    QPixmap pm(s, s);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(s / 32.0, s / 32.0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 102, 153));
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
    // camera body and lens
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(5, 12, 16, 11), 2, 2);
    QPainterPath lens;
    lens.moveTo(21, 15);
    lens.lineTo(27, 12);
    lens.lineTo(27, 23);
    lens.lineTo(21, 20);
    lens.closeSubpath();
    p.drawPath(lens);
    p.setBrush(QColor(0, 153, 153));
    p.drawEllipse(QPointF(13, 17.5), 3, 3);
    // signal arc
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 0), 2));
    p.drawArc(QRectF(7, 3, 12, 12), 45 * 16, 90 * 16);
    return pm;
}
} // namespace

QIcon TarvexIcon() {
    QIcon icon;
    for (int s : {16, 32, 48, 64}) icon.addPixmap(Draw(s));
    return icon;
}

QPixmap TarvexIconPixmap(int size) { return Draw(size); }
