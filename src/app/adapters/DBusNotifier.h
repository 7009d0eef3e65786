#pragma once
// Notifications through org.freedesktop.Notifications on the session bus.
#include "app/Notifier.h"

#include <QDBusConnection>
#include <QObject>
#include <map>

namespace parlando {

class DBusNotifier final : public Notifier {
public:
    explicit DBusNotifier(QDBusConnection connection = QDBusConnection::sessionBus(), QString appIcon = "parlando");
    ~DBusNotifier() override;
    void post(const Notification& notification, Completion completion) override;
    void checkService(Completion done) override;

private:
    QDBusConnection bus_;
    QString appIcon_;
    QObject context_;  // pending replies die with us
    std::map<std::string, uint> idByIdentifier_;
};

}  // namespace parlando
