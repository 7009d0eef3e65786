#include "app/adapters/TraySelector.h"

#include "app/adapters/QtTrayButton.h"
#include "app/adapters/StatusNotifierItem.h"

#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>

namespace parlando {

bool statusNotifierWatcherPresent(const QDBusConnection& bus) {
    return bus.isConnected() && bus.interface() != nullptr &&
           bus.interface()->isServiceRegistered(StatusNotifierItem::watcherService).value();
}

AdaptiveTrayButton::AdaptiveTrayButton(Log& log, QDBusConnection bus) : log_(log), bus_(std::move(bus)) {
    if (statusNotifierWatcherPresent(bus_)) {
        useStatusNotifier();
        return;
    }
    log_.append("ui: no StatusNotifierWatcher on the session bus — using the XEmbed tray");
    current_ = std::make_unique<QtTrayButton>();
    if (bus_.isConnected()) {
        watcher_ = new QDBusServiceWatcher(StatusNotifierItem::watcherService, bus_,
                                           QDBusServiceWatcher::WatchForRegistration, &context_);
        QObject::connect(watcher_, &QDBusServiceWatcher::serviceRegistered, &context_, [this]() {
            if (presence().path == TrayPresence::Path::statusNotifier) return;
            useStatusNotifier();
        });
    }
}

AdaptiveTrayButton::~AdaptiveTrayButton() = default;

void AdaptiveTrayButton::useStatusNotifier() {
    auto item = std::make_unique<StatusNotifierItem>(bus_);
    log_.append("ui: tray is a StatusNotifierItem (" + item->serviceName().toStdString() + ")");
    if (current_) current_->setVisible(false);
    current_ = std::move(item);
    replay();
}

void AdaptiveTrayButton::replay() {
    if (image_) current_->setImage(*image_);
    current_->setTitle(title_);
    current_->setImagePosition(position_);
    current_->setToolTip(toolTip_);
    current_->setOnClick(onClick_);
    current_->setMenuProvider(provider_);
    current_->setVisible(visible_);
}

void AdaptiveTrayButton::setVisible(bool visible) {
    visible_ = visible;
    current_->setVisible(visible);
}
void AdaptiveTrayButton::setImage(const IconImage& image) {
    image_ = image;
    current_->setImage(image);
}
void AdaptiveTrayButton::setTitle(const std::string& title) {
    title_ = title;
    current_->setTitle(title);
}
void AdaptiveTrayButton::setImagePosition(ImagePosition position) {
    position_ = position;
    current_->setImagePosition(position);
}
void AdaptiveTrayButton::setToolTip(const std::optional<std::string>& toolTip) {
    toolTip_ = toolTip;
    current_->setToolTip(toolTip);
}
std::optional<std::string> AdaptiveTrayButton::toolTip() const { return current_->toolTip(); }
void AdaptiveTrayButton::setOnClick(std::function<void()> onClick) {
    onClick_ = onClick;
    current_->setOnClick(std::move(onClick));
}
void AdaptiveTrayButton::setMenuProvider(std::function<MenuModel()> provider) {
    provider_ = provider;
    current_->setMenuProvider(std::move(provider));
}
void AdaptiveTrayButton::popUpMenu(const MenuModel& menu) { current_->popUpMenu(menu); }
std::optional<std::string> AdaptiveTrayButton::reattach() {
    // A panel with a StatusNotifierWatcher may have come up since we fell back to XEmbed.
    if (presence().path != TrayPresence::Path::statusNotifier && statusNotifierWatcherPresent(bus_)) {
        useStatusNotifier();
        return std::nullopt;
    }
    return current_->reattach();
}
TrayPresence AdaptiveTrayButton::presence() const { return current_->presence(); }

std::unique_ptr<TrayButton> makeTrayButton(Log& log, QDBusConnection bus) {
    return std::make_unique<AdaptiveTrayButton>(log, std::move(bus));
}

}  // namespace parlando
