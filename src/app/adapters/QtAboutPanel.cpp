#include "app/adapters/QtAboutPanel.h"

#include "app/TrayIcon.h"
#include "app/adapters/IconPainter.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include <functional>

namespace parlando {

namespace {

constexpr int kWidth = 320, kHeight = 420;

// Geometry is given from the bottom edge, as the layout was drawn.
QRect fromBottom(int x, int y, int w, int h) { return QRect(x, kHeight - y - h, w, h); }

class ClickableLabel final : public QLabel {
public:
    ClickableLabel(const QString& text, QWidget* parent, std::function<void()> onClick)
        : QLabel(text, parent), onClick_(std::move(onClick)) {
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && onClick_) onClick_();
        QLabel::mousePressEvent(event);
    }

private:
    std::function<void()> onClick_;
};

QLabel* label(QLabel* l, QRect frame, int pointSize, QFont::Weight weight, const QColor& color) {
    QFont f = l->font();
    f.setPointSizeF(pointSize);
    f.setWeight(weight);
    l->setFont(f);
    l->setGeometry(frame);
    l->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    l->setWordWrap(true);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, color);
    l->setPalette(p);
    return l;
}

QPixmap appIcon(int side, qreal dpr) {
    const QIcon themed = QIcon::fromTheme(QStringLiteral("parlando"));
    if (!themed.isNull()) return themed.pixmap(QSize(side, side), dpr);
    QPixmap pm = QPixmap::fromImage(renderIcon(TrayIcon::appIconImage(), side, dpr));
    pm.setDevicePixelRatio(dpr);
    return pm;
}

}  // namespace

QtAboutPanel::QtAboutPanel(AboutPanelController& controller, Content content) : window_(std::make_unique<QWidget>()) {
    QWidget* w = window_.get();
    w->setObjectName(windowName);
    w->setWindowTitle(QStringLiteral("О Parlando"));
    w->setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint | Qt::WindowCloseButtonHint);
    w->setAttribute(Qt::WA_DeleteOnClose, false);
    w->setFixedSize(kWidth, kHeight);

    // Secondary and tertiary text: the text colour, fainter, on any theme.
    QColor secondary = w->palette().color(QPalette::WindowText), tertiary = secondary;
    secondary.setAlpha(170);
    tertiary.setAlpha(130);
    const qreal dpr = w->devicePixelRatioF();

    auto* icon = new QLabel(w);
    icon->setGeometry(fromBottom(118, 304, 84, 84));
    icon->setPixmap(appIcon(84, dpr));
    icon->setAlignment(Qt::AlignCenter);

    label(new QLabel(QStringLiteral("Parlando"), w), fromBottom(0, 268, kWidth, 24), 20, QFont::DemiBold,
          w->palette().color(QPalette::WindowText));
    auto* version = new ClickableLabel(QStringLiteral("Версия ") + content.version, w,
                                       [&controller] { controller.handleVersionTap(); });
    version->setObjectName(QStringLiteral("version"));
    label(version, fromBottom(0, 244, kWidth, 18), 13, QFont::Normal, secondary);
    devStatus_ = label(new QLabel(w), fromBottom(0, 224, kWidth, 14), 11, QFont::Medium, QColor(255, 149, 0));
    devStatus_->setObjectName(QStringLiteral("devStatus"));
    label(new QLabel(QStringLiteral("Автор — сообщество Parlando"), w), fromBottom(0, 156, kWidth, 20), 13,
          QFont::Normal, w->palette().color(QPalette::WindowText));

    auto* link = new QPushButton(content.siteTitle, w);
    link->setObjectName(QStringLiteral("site"));
    link->setFlat(true);
    link->setCursor(Qt::PointingHandCursor);
    link->setGeometry(fromBottom(60, 124, 200, 22));
    QPalette lp = link->palette();
    lp.setColor(QPalette::ButtonText, w->palette().color(QPalette::Link));
    link->setPalette(lp);
    const QUrl site = content.site;
    QObject::connect(link, &QPushButton::clicked, w, [site] { QDesktopServices::openUrl(site); });

    auto* restore = new QPushButton(QStringLiteral("Восстановить иконку трея"), w);
    restore->setObjectName(QStringLiteral("restore"));
    restore->setGeometry(fromBottom(40, 58, 240, 30));
    QFont rf = restore->font();
    rf.setPointSizeF(12);
    restore->setFont(rf);
    QObject::connect(restore, &QPushButton::clicked, w, [&controller] { controller.restoreTrayIcon(); });

    label(new QLabel(QString::fromUtf8(AboutPanelController::restoreHint), w), fromBottom(10, 24, 300, 32), 10,
          QFont::Normal, tertiary);
    label(new QLabel(QStringLiteral("Говори — Parlando напишет."), w), fromBottom(0, 4, kWidth, 16), 10,
          QFont::Normal, tertiary);
}

QtAboutPanel::~QtAboutPanel() = default;

void QtAboutPanel::present() {
    QWidget* w = window_.get();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        w->move(area.center() - QPoint(kWidth / 2, kHeight / 2));
    }
    w->show();
    w->raise();
    w->activateWindow();
}

void QtAboutPanel::setDevStatus(const std::string& text) { devStatus_->setText(QString::fromStdString(text)); }

}  // namespace parlando
