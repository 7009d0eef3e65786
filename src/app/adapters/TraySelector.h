#pragma once
// Picks the tray path at start: our own StatusNotifierItem where a
// StatusNotifierWatcher owns its name on the session bus, else Qt's XEmbed
// tray icon.
#include "app/TrayButton.h"
#include "core/Log.h"

#include <QDBusConnection>
#include <memory>

namespace parlando {

bool statusNotifierWatcherPresent(const QDBusConnection& bus);
std::unique_ptr<TrayButton> makeTrayButton(Log& log, QDBusConnection bus = QDBusConnection::sessionBus());

}  // namespace parlando
