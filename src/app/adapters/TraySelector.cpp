#include "app/adapters/TraySelector.h"

#include "app/adapters/QtTrayButton.h"
#include "app/adapters/StatusNotifierItem.h"

#include <QDBusConnectionInterface>

namespace parlando {

bool statusNotifierWatcherPresent(const QDBusConnection& bus) {
    return bus.isConnected() && bus.interface() != nullptr &&
           bus.interface()->isServiceRegistered(StatusNotifierItem::watcherService).value();
}

std::unique_ptr<TrayButton> makeTrayButton(Log& log, QDBusConnection bus) {
    if (statusNotifierWatcherPresent(bus)) {
        auto item = std::make_unique<StatusNotifierItem>(bus);
        log.append("ui: tray is a StatusNotifierItem (" + item->serviceName().toStdString() + ")");
        return item;
    }
    log.append("ui: no StatusNotifierWatcher on the session bus — using the XEmbed tray");
    return std::make_unique<QtTrayButton>();
}

}  // namespace parlando
