#include "app/adapters/IconPainter.h"

#include <QIconEngine>
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

namespace {

// Draws the icon at whatever size and pixel ratio is asked for, when asked.
// Unlike an icon of ready-made pixmaps it leaves nothing in Qt's pixmap
// cache: an animated tray icon replaced 30 times a second would otherwise
// fill that cache with frames nobody shows again.
class DrawnIconEngine final : public QIconEngine {
public:
    explicit DrawnIconEngine(IconImage image) : image_(std::move(image)) {}
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        const qreal dpr = painter->device() != nullptr ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawImage(rect, renderIcon(image_, qMin(rect.width(), rect.height()), dpr));
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode, QIcon::State, qreal scale) override {
        return QPixmap::fromImage(renderIcon(image_, qMin(size.width(), size.height()), scale));
    }
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
    QIconEngine* clone() const override { return new DrawnIconEngine(image_); }

private:
    IconImage image_;
};

}  // namespace

QIcon iconForTray(const IconImage& image) { return QIcon(new DrawnIconEngine(image)); }

}  // namespace parlando
