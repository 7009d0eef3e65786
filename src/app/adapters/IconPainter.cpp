#include "app/adapters/IconPainter.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace parlando {

namespace {
QColor toQColor(const Rgba& c) { return QColor::fromRgbF(float(c.r), float(c.g), float(c.b), float(c.a)); }
}  // namespace

QImage renderIcon(const IconImage& image, int logicalSize, qreal devicePixelRatio) {
    const int px = qMax(1, qRound(logicalSize * devicePixelRatio));
    QImage out(px, px, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    out.setDevicePixelRatio(devicePixelRatio);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    // The drawing's origin is bottom-left; flip to Qt's top-left and scale to the canvas.
    const qreal scale = qreal(logicalSize) / image.width;
    p.translate(0, logicalSize);
    p.scale(scale, -scale);
    for (const IconOp& op : image.ops) {
        switch (op.kind) {
        case IconOp::Kind::fillEllipse:
            p.setPen(Qt::NoPen);
            p.setBrush(toQColor(op.color));
            p.drawEllipse(QRectF(op.x, op.y, op.w, op.h));
            break;
        case IconOp::Kind::strokeLine: {
            QPen pen(toQColor(op.color));
            pen.setWidthF(op.lineWidth);
            pen.setCapStyle(Qt::RoundCap);
            p.setPen(pen);
            p.setBrush(Qt::NoBrush);
            p.drawLine(QPointF(op.x, op.y), QPointF(op.x2, op.y2));
            break;
        }
        }
    }
    return out;
}

QIcon iconForTray(const IconImage& image) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        icon.addPixmap(QPixmap::fromImage(renderIcon(image, size, 1.0)));
    }
    return icon;
}

}  // namespace parlando
