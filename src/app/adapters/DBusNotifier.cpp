#include "app/adapters/DBusNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace parlando {

DBusNotifier::DBusNotifier(QDBusConnection connection, QString appIcon)
    : bus_(std::move(connection)), appIcon_(std::move(appIcon)) {}

DBusNotifier::~DBusNotifier() = default;

void DBusNotifier::post(const Notification& n, Completion completion) {
    if (!bus_.isConnected()) {
        if (completion) completion(std::string("no session bus: ") + bus_.lastError().message().toStdString());
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    QVariantMap hints;
    hints.insert("desktop-entry", QStringLiteral("com.parlando.Parlando"));
    hints.insert("urgency", QVariant::fromValue<uchar>(1));
    if (n.sound)
        hints.insert("sound-name", QStringLiteral("message-new-instant"));
    else
        hints.insert("suppress-sound", true);
    uint replaces = 0;
    if (auto it = idByIdentifier_.find(n.identifier); !n.identifier.empty() && it != idByIdentifier_.end())
        replaces = it->second;
    call << QStringLiteral("Parlando") << replaces << appIcon_ << QString::fromStdString(n.title)
         << QString::fromStdString(n.body) << QStringList{} << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 10000), &context_);
    const std::string identifier = n.identifier;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &context_,
                     [this, completion, identifier](QDBusPendingCallWatcher* w) {
                         QDBusPendingReply<uint> reply = *w;
                         w->deleteLater();
                         if (reply.isError()) {
                             if (completion) completion(reply.error().message().toStdString());
                             return;
                         }
                         if (!identifier.empty()) idByIdentifier_[identifier] = reply.value();
                         if (completion) completion(std::nullopt);
                     });
}

void DBusNotifier::checkService(Completion done) {
    if (!bus_.isConnected()) {
        if (done) done(std::string("no session bus: ") + bus_.lastError().message().toStdString());
        return;
    }
    // GetServerInformation answers only when a notification daemon owns the name.
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "GetServerInformation");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 10000), &context_);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &context_, [done](QDBusPendingCallWatcher* w) {
        const QDBusMessage reply = w->reply();
        w->deleteLater();
        if (!done) return;
        if (reply.type() == QDBusMessage::ErrorMessage)
            done(reply.errorMessage().toStdString());
        else
            done(std::nullopt);
    });
}

}  // namespace parlando
