#include "app/adapters/QtTrayButton.h"

#include "app/adapters/IconPainter.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

namespace parlando {

QtTrayButton::QtTrayButton() {
    // Never show an empty slot, even before the first rendering.
    image_ = TrayIcon::idleImage();
    makeIcon();
}

void QtTrayButton::makeIcon() {
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setIcon(iconForTray(*image_));
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, tray_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         // Left and right clicks open the same menu.
                         if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) {
                             if (onClick_) onClick_();
                         }
                     });
}

QtTrayButton::~QtTrayButton() = default;

void QtTrayButton::setVisible(bool visible) {
    tray_->setVisible(visible);
    // The tray's slot size (and so the sharpest pixmap) is known only once embedded.
    if (visible) QTimer::singleShot(300, tray_.get(), [this]() { applyIcon(); });
}

void QtTrayButton::setImage(const IconImage& image) {
    image_ = image;
    applyIcon();
}

void QtTrayButton::applyIcon() {
    // Drawn at the slot's real size and the screen's pixel ratio when the tray paints it.
    if (image_) tray_->setIcon(iconForTray(*image_));
}

void QtTrayButton::setTitle(const std::string& title) {
    title_ = title;
    applyToolTip();
}

void QtTrayButton::setImagePosition(ImagePosition) {
    // No text beside the icon on an XEmbed tray; the title lives in the tool tip.
}

void QtTrayButton::setToolTip(const std::optional<std::string>& toolTip) {
    toolTip_ = toolTip;
    applyToolTip();
}

std::optional<std::string> QtTrayButton::toolTip() const { return toolTip_; }

void QtTrayButton::setOnClick(std::function<void()> onClick) { onClick_ = std::move(onClick); }

void QtTrayButton::setMenuProvider(std::function<MenuModel()>) {
    // The menu is built on each click (setOnClick); the XEmbed tray never asks for it.
}

void QtTrayButton::popUpMenu(const MenuModel& menu) {
    // Below the icon, aligned with its left edge; at the pointer when the
    // tray does not say where the icon is.
    const QRect slot = tray_->geometry();
    QPoint at = slot.isEmpty() ? QCursor::pos() : slot.bottomLeft() + QPoint(0, 1);
    presenter_.popUp(menu, at);
}

std::optional<std::string> QtTrayButton::reattach() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return "no XEmbed system tray (no panel owns the tray)";
    // A new tray window: the tray embeds it as if we had just started.
    const bool shown = tray_->isVisible();
    tray_->hide();
    makeIcon();
    applyToolTip();
    if (shown) setVisible(true);
    return std::nullopt;
}

TrayPresence QtTrayButton::presence() const {
    TrayPresence p;
    p.path = TrayPresence::Path::xembed;
    p.xembedTrayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    const QRect g = tray_->geometry();
    if (!g.isEmpty()) p.frame = ScreenRect{double(g.x()), double(g.y()), double(g.width()), double(g.height())};
    for (const QScreen* s : QGuiApplication::screens()) {
        const QRect r = s->geometry();
        p.screens.push_back(ScreenRect{double(r.x()), double(r.y()), double(r.width()), double(r.height())});
    }
    p.desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP").toStdString();
    return p;
}

QString QtTrayButton::shownToolTip() const { return tray_->toolTip(); }

void QtTrayButton::applyToolTip() {
    QString text = QString::fromStdString(title_).trimmed();
    if (toolTip_) {
        if (!text.isEmpty()) text += '\n';
        text += QString::fromStdString(*toolTip_);
    }
    tray_->setToolTip(text);
}

}  // namespace parlando
