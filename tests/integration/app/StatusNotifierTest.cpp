// The StatusNotifierItem and its dbusmenu on a private session bus, driven
// by the real controller, with a fake StatusNotifierWatcher beside it.
#include "FakeDBusServices.h"
#include "app/StatusBarController.h"
#include "app/adapters/DBusNotifier.h"
#include "app/adapters/DBusTypes.h"
#include "app/adapters/StatusNotifierItem.h"
#include "app/adapters/TraySelector.h"
#include "core/adapters/QtMainLoop.h"
#include "fakes/Fakes.h"
#include "testenv/TestEnv.h"

#include <QDBusArgument>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <QDBusMetaType>
#include <QMenu>
#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;
using namespace parlando::testenv;
namespace fs = std::filesystem;

namespace {

constexpr const char* sniInterface = "org.kde.StatusNotifierItem";

class StatusNotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus = std::make_unique<SessionBus>(dir.path());
        applyToProcess({{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_CURRENT_DESKTOP", "KDE"}});
        applyToProcess(bus->env());
        qtApp();
        registerDBusTrayTypes();
        const QString address = QString::fromStdString(bus->address());
        appBus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "app"));
        watcherBus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "watcher"));
        clientBus = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "client"));
        ASSERT_TRUE(appBus->isConnected());
        ASSERT_TRUE(watcherBus->isConnected());
        ASSERT_TRUE(clientBus->isConnected());
    }
    void TearDown() override {
        controller.reset();
        item.reset();
        watcher.reset();
        notifications.reset();
        for (const char* name : {"app", "watcher", "client"}) QDBusConnection::disconnectFromBus(name);
        pumpFor(50);
    }

    void startApp(StatusMenuHooks hooks = {}) {
        item = std::make_unique<StatusNotifierItem>(*appBus);
        notifier = std::make_unique<DBusNotifier>(*appBus);
        controller = StatusBarController::create(
            AppServices{loop, settings, log, item.get(), notifier.get(), nullptr}, {}, std::move(hooks));
    }

    QVariant property(const char* name) {
        QDBusMessage get = QDBusMessage::createMethodCall(item->serviceName(), StatusNotifierItem::itemPath,
                                                          "org.freedesktop.DBus.Properties", "Get");
        get << QString(sniInterface) << QString(name);
        const QDBusMessage reply = callAndPump(*clientBus, get);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

    QDBusMessage menuCall(const char* member, const QVariantList& args) {
        QDBusMessage call = QDBusMessage::createMethodCall(item->serviceName(), StatusNotifierItem::menuPath,
                                                           "com.canonical.dbusmenu", member);
        call.setArguments(args);
        return callAndPump(*clientBus, call);
    }

    DBusMenuLayoutItem layout() {
        const QDBusMessage reply = menuCall("GetLayout", {0, -1, QStringList{}});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        DBusMenuLayoutItem root;
        reply.arguments().value(1).value<QDBusArgument>() >> root;
        return root;
    }

    static QStringList labels(const DBusMenuLayoutItem& node) {
        QStringList out;
        for (const auto& c : node.children)
            out << (c.properties.value("type").toString() == "separator" ? "---" : c.properties.value("label").toString());
        return out;
    }

    TempDir dir{"parlando-sni"};
    std::unique_ptr<SessionBus> bus;
    std::unique_ptr<QDBusConnection> appBus, watcherBus, clientBus;
    std::unique_ptr<FakeWatcher> watcher;
    std::unique_ptr<FakeNotifications> notifications;
    QtMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    std::unique_ptr<StatusNotifierItem> item;
    std::unique_ptr<DBusNotifier> notifier;
    std::shared_ptr<StatusBarController> controller;
};

}  // namespace

TEST_F(StatusNotifierTest, RegistersAndItsPropertiesFollowTheTrayState) {
    watcher = std::make_unique<FakeWatcher>(*watcherBus);
    EXPECT_TRUE(statusNotifierWatcherPresent(*appBus));
    startApp();
    ASSERT_TRUE(pumpUntil([&] { return watcher->items.contains(item->serviceName()); }, 10000));

    EXPECT_EQ(property("ItemIsMenu").toBool(), true);
    EXPECT_EQ(property("Menu").value<QDBusObjectPath>().path(), "/MenuBar");
    EXPECT_EQ(property("Status").toString(), "Active");
    EXPECT_EQ(property("XAyatanaLabel").toString(), "");

    // Icon: ARGB32 in network byte order, the idle grey disc in the middle.
    SniIconPixmapList pixmaps;
    property("IconPixmap").value<QDBusArgument>() >> pixmaps;
    ASSERT_FALSE(pixmaps.isEmpty());
    const SniIconPixmap& small = pixmaps.front();
    ASSERT_EQ(small.width, 16);
    ASSERT_EQ(small.bytes.size(), 16 * 16 * 4);
    const int centre = (8 * 16 + 8) * 4;
    EXPECT_EQ(uchar(small.bytes[centre]), 255);  // alpha first
    EXPECT_NEAR(uchar(small.bytes[centre + 1]), 168, 2);
    EXPECT_NEAR(uchar(small.bytes[centre + 3]), 168, 2);

    // Hosts redraw on the change signals: watch the bus for them.
    Process monitor;
    const fs::path monitorOut = dir.path() / "monitor.txt";
    if (haveProgram("dbus-monitor")) {
        monitor = Process::spawn({"dbus-monitor", "--address", bus->address(), "--monitor",
                                  "type='signal',interface='org.kde.StatusNotifierItem'"},
                                 {}, monitorOut);
        pumpFor(500);
    }

    // A dictation finishes: spinner label, clipboard tool tip; then a recording icon.
    controller->trayState.processing = true;
    controller->startSpinner();
    EXPECT_EQ(property("XAyatanaLabel").toString(), " ⠋");
    EXPECT_FALSE(property("XAyatanaLabelGuide").toString().isEmpty());
    SniToolTip tip;
    property("ToolTip").value<QDBusArgument>() >> tip;
    EXPECT_EQ(tip.title, "Собираем расшифровку в буфер обмена…");
    ASSERT_TRUE(pumpUntil([&] { return property("XAyatanaLabel").toString() != " ⠋"; }, 3000)) << "the spinner turns";

    controller->trayState.processing = false;
    controller->stopSpinner();
    controller->trayState.fnDictating = true;
    controller->renderUI();
    ASSERT_TRUE(pumpUntil([&] { return !controller->iconAnimatorRunning(); }, 5000));
    property("IconPixmap").value<QDBusArgument>() >> pixmaps;
    EXPECT_EQ(uchar(pixmaps.front().bytes[centre + 1]), 255) << "red once the fade is done";
    EXPECT_EQ(property("XAyatanaLabel").toString(), "");
    property("ToolTip").value<QDBusArgument>() >> tip;
    EXPECT_EQ(tip.title, "Parlando");

    if (monitor.pid() > 0) {
        const auto seen = [&](const std::string& what) { return readFile(monitorOut).find(what) != std::string::npos; };
        for (const char* signal : {"member=XAyatanaNewLabel", "member=NewToolTip", "member=NewIcon"})
            EXPECT_TRUE(pumpUntil([&] { return seen(signal); }, 5000)) << signal;
        EXPECT_TRUE(seen("string \" ⠋\""));
        monitor.stop();
    }
    // With a host the start-up probe is satisfied and stays quiet.
    ASSERT_TRUE(pumpUntil([&] { return log.contains("tray-probe: "); }, 10000));
    EXPECT_TRUE(log.contains("tray-probe: tray icon visible as StatusNotifierItem org.kde.StatusNotifierItem-"));
}

TEST_F(StatusNotifierTest, MenuLayoutInOrderEventsRunActionsAndClicksOpenTheSameMenu) {
    watcher = std::make_unique<FakeWatcher>(*watcherBus);
    bool muted = false;
    int toggles = 0;
    StatusMenuHooks hooks;
    hooks.isMuted = [&] { return muted; };
    hooks.toggleListening = [&] { muted = ++toggles % 2 == 1; };
    startApp(hooks);
    ASSERT_TRUE(pumpUntil([&] { return watcher->items.contains(item->serviceName()); }, 10000));

    // Every member of the protocol is exported (QtDBus silently drops one whose types it cannot map).
    QDBusMessage introspect = QDBusMessage::createMethodCall(item->serviceName(), StatusNotifierItem::menuPath,
                                                             "org.freedesktop.DBus.Introspectable", "Introspect");
    const QString xml = callAndPump(*clientBus, introspect).arguments().value(0).toString();
    for (const char* member : {"GetLayout", "GetGroupProperties", "GetProperty", "Event", "EventGroup", "AboutToShow",
                               "AboutToShowGroup", "LayoutUpdated", "ItemsPropertiesUpdated", "ItemActivationRequested"})
        EXPECT_TRUE(xml.contains(QString("\"%1\"").arg(member))) << member;

    DBusMenuLayoutItem root = layout();
    EXPECT_EQ(labels(root), (QStringList{"Слушать", "---", "Ключ Deepgram API…", "Микрофон", "---",
                                        "Запускать при входе в систему", "---", "О Parlando…", "Выход"}));
    const auto& listen = root.children.front();
    EXPECT_EQ(listen.properties.value("toggle-state").toInt(), 1);

    // "clicked" on "Слушать" runs its action.
    const QDBusMessage ev = menuCall("Event", {listen.id, QString("clicked"),
                                              QVariant::fromValue(QDBusVariant(QString())), 0u});
    EXPECT_EQ(ev.type(), QDBusMessage::ReplyMessage) << ev.errorMessage().toStdString();
    ASSERT_TRUE(pumpUntil([&] { return toggles == 1; }, 5000));

    // The host asks before showing: the new state means a new layout.
    EXPECT_TRUE(menuCall("AboutToShow", {0}).arguments().value(0).toBool());
    EXPECT_FALSE(menuCall("AboutToShow", {0}).arguments().value(0).toBool()) << "nothing changed since";
    EXPECT_EQ(layout().children.front().properties.value("toggle-state").toInt(), 0);

    const QDBusMessage bad = menuCall("Event", {4242, QString("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    EXPECT_EQ(bad.type(), QDBusMessage::ErrorMessage);

    // A host that activates the item instead gets our own menu, for either button.
    for (const char* member : {"Activate", "ContextMenu"}) {
        QDBusMessage click =
            QDBusMessage::createMethodCall(item->serviceName(), StatusNotifierItem::itemPath, sniInterface, member);
        click << 100 << 20;
        callAndPump(*clientBus, click);
        ASSERT_TRUE(pumpUntil([] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr; }, 5000))
            << member;
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_FALSE(menu->actions().isEmpty());
        EXPECT_EQ(menu->actions().front()->text(), "Слушать");
        menu->close();
        pumpUntil([] { return QApplication::activePopupWidget() == nullptr; }, 3000);
    }
}

TEST_F(StatusNotifierTest, ProbeTellsTheUserThereIsNoHost) {
    watcher = std::make_unique<FakeWatcher>(*watcherBus, /*hostRegistered=*/false);
    notifications = std::make_unique<FakeNotifications>(*watcherBus);
    startApp();
    ASSERT_TRUE(pumpUntil([&] { return !notifications->calls.empty(); }, 10000));
    EXPECT_TRUE(log.contains("tray-probe: StatusNotifierWatcher has no host"));
    EXPECT_EQ(notifications->calls[0].summary, "Иконка Parlando не появилась в трее");
    EXPECT_EQ(notifications->calls[0].appName, "Parlando");
    EXPECT_EQ(notifications->calls[0].hints.value("desktop-entry").toString(), "com.parlando.Parlando");
}

TEST_F(StatusNotifierTest, SelectorFallsBackToXEmbedAndMovesOverWhenAWatcherAppears) {
    EXPECT_FALSE(statusNotifierWatcherPresent(*appBus));
    auto button = makeTrayButton(log, *appBus);
    EXPECT_EQ(button->presence().path, TrayPresence::Path::xembed);
    EXPECT_TRUE(log.contains("using the XEmbed tray"));
    button->setImage(TrayIcon::idleImage());
    button->setTitle(" MIC");
    button->setToolTip(std::string("Нет рабочего микрофона"));
    button->setVisible(true);

    // The panel comes up after us: the item moves to the StatusNotifierItem path with its state.
    watcher = std::make_unique<FakeWatcher>(*watcherBus);
    ASSERT_TRUE(pumpUntil([&] { return button->presence().path == TrayPresence::Path::statusNotifier; }, 10000));
    ASSERT_TRUE(pumpUntil([&] { return !watcher->items.isEmpty(); }, 10000));
    auto& sni = dynamic_cast<StatusNotifierItem&>(dynamic_cast<AdaptiveTrayButton&>(*button).current());
    EXPECT_EQ(sni.label(), " MIC");
    EXPECT_EQ(sni.toolTip(), "Нет рабочего микрофона");
    EXPECT_EQ(sni.iconPixmap().size(), 7);
    EXPECT_EQ(watcher->items.front(), sni.serviceName());
}
