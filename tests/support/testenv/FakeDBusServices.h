#pragma once
// Test-side D-Bus services on a private bus: a StatusNotifierWatcher that
// records registrations (and may be slow to answer), and a notification
// server that records Notify calls. Plain virtual objects, so no moc is needed here; plus helpers that
// keep the Qt event loop turning while the test waits.
#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <functional>

namespace parlando::testing {

// One QApplication per test process, created after the test put its private
// DISPLAY / bus into the environment.
inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "parlando-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Runs the event loop until pred() holds or `ms` pass.
inline bool pumpUntil(const std::function<bool()>& pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

inline void pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
}

// A call that keeps the loop running, so objects of this very process can answer.
inline QDBusMessage callAndPump(QDBusConnection& bus, const QDBusMessage& message, int ms = 15000) {
    QDBusPendingCall pending = bus.asyncCall(message, ms);
    pumpUntil([&] { return pending.isFinished(); }, ms + 1000);
    return pending.reply();
}

class FakeWatcher : public QDBusVirtualObject {
public:
    explicit FakeWatcher(QDBusConnection bus, bool hostRegistered = true) : bus_(bus), host_(hostRegistered) {
        bus_.registerVirtualObject("/StatusNotifierWatcher", this);
        bus_.registerService("org.kde.StatusNotifierWatcher");
    }
    ~FakeWatcher() override {
        bus_.unregisterService("org.kde.StatusNotifierWatcher");
        bus_.unregisterObject("/StatusNotifierWatcher");
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& connection) override {
        const QString property = m.member() == "Get" ? m.arguments().value(1).toString() : QString();
        if (m.member() == "RegisterStatusNotifierItem") {
            items.push_back(m.arguments().value(0).toString());
            QTimer::singleShot(replyDelayMs, [c = connection, reply = m.createReply()]() mutable { c.send(reply); });
        } else if (property == "IsStatusNotifierHostRegistered" || property == "ProtocolVersion") {
            const QVariant value = property == "ProtocolVersion" ? QVariant(0) : QVariant(host_);
            connection.send(m.createReply(QVariant::fromValue(QDBusVariant(value))));
        } else {
            connection.send(m.createErrorReply(QDBusError::UnknownMethod, m.member()));
        }
        return true;
    }
    QStringList items;
    int replyDelayMs = 0;  // a slow watcher answers registrations this late

private:
    QDBusConnection bus_;
    bool host_;
};

class FakeNotifications : public QDBusVirtualObject {
public:
    struct Call {
        QString appName, appIcon, summary, body;
        QVariantMap hints;
    };
    explicit FakeNotifications(QDBusConnection bus) : bus_(bus) {
        bus_.registerVirtualObject("/org/freedesktop/Notifications", this);
        bus_.registerService("org.freedesktop.Notifications");
    }
    ~FakeNotifications() override {
        bus_.unregisterService("org.freedesktop.Notifications");
        bus_.unregisterObject("/org/freedesktop/Notifications");
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& connection) override {
        if (m.member() == "Notify") {
            const auto a = m.arguments();
            calls.push_back({a.value(0).toString(), a.value(2).toString(), a.value(3).toString(), a.value(4).toString(),
                             qdbus_cast<QVariantMap>(a.value(6))});
            connection.send(m.createReply(QVariant::fromValue(uint(calls.size()))));
            return true;
        }
        if (m.member() == "GetCapabilities") {
            connection.send(m.createReply(QStringList{"body"}));
            return true;
        }
        connection.send(m.createErrorReply(QDBusError::UnknownMethod, m.member()));
        return true;
    }
    std::vector<Call> calls;

private:
    QDBusConnection bus_;
};

}  // namespace parlando::testing
