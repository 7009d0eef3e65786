#pragma once
// Picks the tray path: our own StatusNotifierItem where a
// StatusNotifierWatcher owns its name on the session bus, else Qt's XEmbed
// tray icon. At login the panel may come up after us, so a watcher that
// appears later moves the item over to the StatusNotifierItem path.
#include "app/TrayButton.h"
#include "core/Log.h"

#include <QDBusConnection>
#include <QObject>
#include <memory>

class QDBusServiceWatcher;

namespace parlando {

bool statusNotifierWatcherPresent(const QDBusConnection& bus);

class AdaptiveTrayButton final : public TrayButton {
public:
    AdaptiveTrayButton(Log& log, QDBusConnection bus);
    ~AdaptiveTrayButton() override;

    void setVisible(bool visible) override;
    void setImage(const IconImage& image) override;
    void setTitle(const std::string& title) override;
    void setImagePosition(ImagePosition position) override;
    void setToolTip(const std::optional<std::string>& toolTip) override;
    std::optional<std::string> toolTip() const override;
    void setOnClick(std::function<void()> onClick) override;
    void setMenuProvider(std::function<MenuModel()> provider) override;
    void popUpMenu(const MenuModel& menu) override;
    TrayPresence presence() const override;
    std::optional<std::string> reattach() override;

    TrayButton& current() { return *current_; }

private:
    void useStatusNotifier();
    void replay();

    Log& log_;
    QDBusConnection bus_;
    std::unique_ptr<TrayButton> current_;
    QObject context_;
    QDBusServiceWatcher* watcher_ = nullptr;
    // The state, replayed onto a new path.
    bool visible_ = false;
    std::optional<IconImage> image_;
    std::string title_;
    ImagePosition position_ = ImagePosition::imageOnly;
    std::optional<std::string> toolTip_;
    std::function<void()> onClick_;
    std::function<MenuModel()> provider_;
};

std::unique_ptr<TrayButton> makeTrayButton(Log& log, QDBusConnection bus = QDBusConnection::sessionBus());

}  // namespace parlando
