#include "app/adapters/QtTrayButton.h"

#include "app/adapters/IconPainter.h"

namespace parlando {

QtTrayButton::QtTrayButton() : tray_(std::make_unique<QSystemTrayIcon>()) {
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, tray_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         // Left and right clicks open the same menu.
                         if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) {
                             if (onClick_) onClick_();
                         }
                     });
}

QtTrayButton::~QtTrayButton() = default;

void QtTrayButton::setVisible(bool visible) { tray_->setVisible(visible); }

void QtTrayButton::setImage(const IconImage& image) { tray_->setIcon(iconForTray(image)); }

void QtTrayButton::setTitle(const std::string& title) {
    title_ = title;
    applyToolTip();
}

void QtTrayButton::setToolTip(const std::optional<std::string>& toolTip) {
    toolTip_ = toolTip;
    applyToolTip();
}

std::optional<std::string> QtTrayButton::toolTip() const { return toolTip_; }

void QtTrayButton::setOnClick(std::function<void()> onClick) { onClick_ = std::move(onClick); }

void QtTrayButton::applyToolTip() {
    QString text = QString::fromStdString(title_);
    if (toolTip_) {
        if (!text.isEmpty()) text += '\n';
        text += QString::fromStdString(*toolTip_);
    }
    tray_->setToolTip(text);
}

}  // namespace parlando
