#pragma once
// Test-side D-Bus services on a private bus: a StatusNotifierWatcher that
// records registrations (and may be slow to answer), and a notification
// server that records Notify calls. Plain virtual objects, so no moc is needed here; plus helpers that
// keep the Qt event loop turning while the test waits.
#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusVariant>
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

// A service of this process at `path` under a well-known name, gone with the object.
class FakeService : public QDBusVirtualObject {
public:
    FakeService(QDBusConnection bus, const QString& service, const QString& path)
        : bus_(bus), service_(service), path_(path) {
        bus_.registerVirtualObject(path_, this);
        bus_.registerService(service_);
    }
    ~FakeService() override {
        bus_.unregisterService(service_);
        bus_.unregisterObject(path_);
    }
    QString introspect(const QString&) const override { return {}; }

private:
    QDBusConnection bus_;
    QString service_, path_;
};

class FakeWatcher : public FakeService {
public:
    explicit FakeWatcher(QDBusConnection bus, bool hostRegistered = true)
        : FakeService(bus, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher"), host_(hostRegistered) {}
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& connection) override {
        if (m.member() == "RegisterStatusNotifierItem") {
            items.push_back(m.arguments().value(0).toString());
            QTimer::singleShot(replyDelayMs, [c = connection, reply = m.createReply()]() mutable { c.send(reply); });
        } else if (m.member() == "Get" && m.arguments().value(1).toString() == "IsStatusNotifierHostRegistered") {
            connection.send(m.createReply(QVariant::fromValue(QDBusVariant(host_))));
        } else {
            connection.send(m.createErrorReply(QDBusError::UnknownMethod, m.member()));
        }
        return true;
    }
    QStringList items;
    int replyDelayMs = 0;  // a slow watcher answers registrations this late

private:
    bool host_;
};

class FakeNotifications : public FakeService {
public:
    struct Call {
        QString appName, appIcon, summary, body;
        QVariantMap hints;
    };
    explicit FakeNotifications(QDBusConnection bus)
        : FakeService(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications") {}
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& connection) override {
        const auto a = m.arguments();
        if (m.member() == "Notify")
            calls.push_back({a.value(0).toString(), a.value(2).toString(), a.value(3).toString(), a.value(4).toString(),
                             qdbus_cast<QVariantMap>(a.value(6))});
        connection.send(m.member() == "Notify" ? m.createReply(QVariant::fromValue(uint(calls.size())))
                                               : m.createErrorReply(QDBusError::UnknownMethod, m.member()));
        return true;
    }
    std::vector<Call> calls;
};

}  // namespace parlando::testing
