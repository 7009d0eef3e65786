// The StatusNotifierItem and its dbusmenu on a private session bus, driven
// by the real controller, with a fake StatusNotifierWatcher beside it.
#include "app/StatusBarController.h"
#include "app/adapters/DBusNotifier.h"
#include "app/adapters/DBusTypes.h"
#include "app/adapters/StatusNotifierItem.h"
#include "app/adapters/TraySelector.h"
#include "core/adapters/QtMainLoop.h"
#include "fakes/Fakes.h"
#include "testenv/FakeDBusServices.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>
#include <QDBusArgument>
#include <QMenu>

using namespace parlando;
using namespace parlando::testing;
using namespace parlando::testenv;

namespace {

class StatusNotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        applyToProcess({{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_CURRENT_DESKTOP", "KDE"}});
        applyToProcess(bus.env());
        qtApp();
        registerDBusTrayTypes();
        for (const char* name : {"app", "watcher", "client"})
            buses.insert_or_assign(name, QDBusConnection::connectToBus(QString::fromStdString(bus.address()), name));
    }
    void TearDown() override {
        controller.reset();
        button.reset();
        watcher.reset();
        notifications.reset();
        for (const char* name : {"app", "watcher", "client"}) QDBusConnection::disconnectFromBus(name);
        pumpFor(50);
    }

    // The app's own tray: StatusNotifierItem when a watcher is there, XEmbed until one comes.
    void startApp(StatusMenuHooks hooks = {}) {
        button = makeTrayButton(log, buses.at("app"));
        notifier = std::make_unique<DBusNotifier>(buses.at("app"));
        controller = StatusBarController::create(
            AppServices{loop, settings, log, button.get(), notifier.get(), nullptr}, {}, std::move(hooks));
    }
    StatusNotifierItem& sni() {
        return dynamic_cast<StatusNotifierItem&>(dynamic_cast<AdaptiveTrayButton&>(*button).current());
    }
    QDBusMessage call(const char* path, const char* interface, const char* member, const QVariantList& args) {
        QDBusMessage m = QDBusMessage::createMethodCall(sni().serviceName(), path, interface, member);
        m.setArguments(args);
        return callAndPump(buses.at("client"), m);
    }
    QVariant property(const char* name) {
        const QDBusMessage reply = call(StatusNotifierItem::itemPath, "org.freedesktop.DBus.Properties", "Get",
                                        {QString("org.kde.StatusNotifierItem"), QString(name)});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    QDBusMessage menuCall(const char* member, const QVariantList& args) {
        return call(StatusNotifierItem::menuPath, "com.canonical.dbusmenu", member, args);
    }
    DBusMenuLayoutItem layout() {
        DBusMenuLayoutItem root;
        menuCall("GetLayout", {0, -1, QStringList{}}).arguments().value(1).value<QDBusArgument>() >> root;
        return root;
    }

    TempDir dir{"parlando-sni"};
    SessionBus bus{dir.path()};
    std::map<std::string, QDBusConnection> buses;
    std::unique_ptr<FakeWatcher> watcher;
    std::unique_ptr<FakeNotifications> notifications;
    QtMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    std::unique_ptr<TrayButton> button;
    std::unique_ptr<DBusNotifier> notifier;
    std::shared_ptr<StatusBarController> controller;
};

}  // namespace

TEST_F(StatusNotifierTest, MovesOverFromXEmbedWhenAWatcherAppearsFollowsTheTrayStateAndServesTheMenu) {
    bool muted = false;
    int toggles = 0;
    StatusMenuHooks hooks;
    hooks.isMuted = [&] { return muted; };
    hooks.toggleListening = [&] { muted = ++toggles % 2 == 1; };
    EXPECT_FALSE(statusNotifierWatcherPresent(buses.at("app")));
    startApp(hooks);
    EXPECT_EQ(button->presence().path, TrayPresence::Path::xembed);
    EXPECT_TRUE(log.contains("using the XEmbed tray"));
    button->setTitle(" MIC");
    button->setToolTip(std::string("Нет рабочего микрофона"));

    // The panel comes up after us: the item moves to the StatusNotifierItem path with its state. The watcher
    // answers the registration only after the probe's 3 s, and the probe waits for it.
    watcher = std::make_unique<FakeWatcher>(buses.at("watcher"));
    watcher->replyDelayMs = 4500;
    notifications = std::make_unique<FakeNotifications>(buses.at("watcher"));
    ASSERT_TRUE(pumpUntil([&] { return !watcher->items.isEmpty(); }, 10000));
    EXPECT_EQ(watcher->items.front(), sni().serviceName());
    EXPECT_EQ(sni().label(), " MIC");
    EXPECT_EQ(sni().toolTip(), "Нет рабочего микрофона");
    EXPECT_EQ(property("ItemIsMenu").toBool(), true);
    EXPECT_EQ(property("Menu").value<QDBusObjectPath>().path(), "/MenuBar");

    // Icon: ARGB32 in network byte order, the idle grey disc in the middle.
    SniIconPixmapList pixmaps;
    property("IconPixmap").value<QDBusArgument>() >> pixmaps;
    ASSERT_FALSE(pixmaps.isEmpty());
    ASSERT_EQ(pixmaps.front().bytes.size(), 16 * 16 * 4);
    const int centre = (8 * 16 + 8) * 4;
    EXPECT_EQ(uchar(pixmaps.front().bytes[centre]), 255);  // alpha first
    EXPECT_NEAR(uchar(pixmaps.front().bytes[centre + 1]), 168, 2);

    // Hosts redraw on the change signals: watch the bus for them.
    const auto monitorOut = dir.path() / "monitor.txt";
    Process monitor = Process::spawn({"dbus-monitor", "--address", bus.address(), "--monitor",
                                      "type='signal',interface='org.kde.StatusNotifierItem'"},
                                     {}, monitorOut);
    pumpFor(500);
    // A dictation finishes: spinner label and clipboard tool tip; then a recording icon.
    controller->trayState.processing = true;
    controller->startSpinner();
    EXPECT_EQ(property("XAyatanaLabel").toString(), " ⠋");
    SniToolTip tip;
    property("ToolTip").value<QDBusArgument>() >> tip;
    EXPECT_EQ(tip.title, "Собираем расшифровку в буфер обмена…");
    controller->trayState.processing = false;
    controller->stopSpinner();
    controller->trayState.fnDictating = true;
    controller->renderUI();
    ASSERT_TRUE(pumpUntil([&] { return !controller->iconAnimatorRunning(); }, 5000));
    property("IconPixmap").value<QDBusArgument>() >> pixmaps;
    EXPECT_EQ(uchar(pixmaps.front().bytes[centre + 1]), 255) << "red once the fade is done";
    EXPECT_EQ(property("XAyatanaLabel").toString(), "");
    for (const char* signal : {"member=XAyatanaNewLabel", "member=NewToolTip", "member=NewIcon"})
        EXPECT_TRUE(pumpUntil([&] { return readFile(monitorOut).find(signal) != std::string::npos; }, 5000)) << signal;
    monitor.stop();

    // Every member of the protocol is exported (QtDBus silently drops one whose types it cannot map).
    const QString xml = call(StatusNotifierItem::menuPath, "org.freedesktop.DBus.Introspectable", "Introspect", {})
                            .arguments()
                            .value(0)
                            .toString();
    for (const char* member :
         {"GetLayout", "GetGroupProperties", "GetProperty", "Event", "EventGroup", "AboutToShow", "AboutToShowGroup",
          "LayoutUpdated", "ItemsPropertiesUpdated", "ItemActivationRequested"})
        EXPECT_TRUE(xml.contains(QString("\"%1\"").arg(member))) << member;
    const auto listen = layout().children.front();
    EXPECT_EQ(listen.properties.value("label").toString(), "Слушать");
    EXPECT_EQ(listen.properties.value("toggle-state").toInt(), 1);
    // "clicked" runs the action; the host asks before showing, and the new state means a new layout.
    menuCall("Event", {listen.id, QString("clicked"), QVariant::fromValue(QDBusVariant(QString())), 0u});
    ASSERT_TRUE(pumpUntil([&] { return toggles == 1; }, 5000));
    EXPECT_TRUE(menuCall("AboutToShow", {0}).arguments().value(0).toBool());
    EXPECT_FALSE(menuCall("AboutToShow", {0}).arguments().value(0).toBool()) << "nothing changed since";
    EXPECT_EQ(layout().children.front().properties.value("toggle-state").toInt(), 0);

    // A host that activates the item instead gets our own menu, for either button.
    for (const char* member : {"Activate", "ContextMenu"}) {
        call(StatusNotifierItem::itemPath, "org.kde.StatusNotifierItem", member, {100, 20});
        ASSERT_TRUE(pumpUntil([] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr; }, 5000))
            << member;
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        EXPECT_EQ(menu->actions().front()->text(), "Слушать");
        menu->close();
        pumpUntil([] { return QApplication::activePopupWidget() == nullptr; }, 3000);
    }
    ASSERT_TRUE(pumpUntil([&] { return log.contains("tray-probe: tray icon visible"); }, 15000));
    EXPECT_TRUE(log.contains("tray-probe: waiting for StatusNotifierWatcher to answer"));
    EXPECT_TRUE(notifications->calls.empty());
}

// A watcher without a host: no panel draws the icon, and the user is told.
TEST_F(StatusNotifierTest, AWatcherWithoutAHostIsReportedToTheUser) {
    watcher = std::make_unique<FakeWatcher>(buses.at("watcher"), false);
    notifications = std::make_unique<FakeNotifications>(buses.at("watcher"));
    startApp();
    ASSERT_TRUE(pumpUntil([&] { return !notifications->calls.empty(); }, 15000));
    EXPECT_TRUE(log.contains("tray-probe: StatusNotifierWatcher has no host"));
    EXPECT_EQ(notifications->calls[0].summary, "Иконка Parlando не появилась в трее");
    EXPECT_EQ(notifications->calls[0].appName, "Parlando");
    EXPECT_EQ(notifications->calls[0].hints.value("desktop-entry").toString(), "com.parlando.Parlando");
}
