// The tray adapters without any server: icon painting at HiDPI, SNI pixmap
// byte order, the dbusmenu mapping and exporter logic, the Qt menu presenter.
#include "app/StatusBarController.h"
#include "app/adapters/DBusMenuExporter.h"
#include "app/adapters/IconPainter.h"
#include "app/adapters/QtMenuPresenter.h"
#include "app/adapters/QtTrayButton.h"
#include "app/adapters/StatusNotifierItem.h"

#include "OffscreenApp.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace parlando;

namespace {

QApplication& app() { return parlando::testing::offscreenApp(); }

void pump() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

MenuModel sampleMenu(int* clicks, bool checked = true) {
    MenuModel m;
    MenuItem listen = MenuItem::make("Слушать", [clicks] { ++*clicks; });
    listen.checked = checked;
    m.add(listen);
    m.addSeparator();
    m.add(MenuItem::sub("Микрофон", {MenuItem::make("По умолчанию", {}), MenuItem::make("USB_mic", {})}));
    MenuItem off = MenuItem::make("Серый", [clicks] { *clicks += 100; });
    off.enabled = false;
    m.add(off);
    MenuItem quit = MenuItem::make("Выход", {});
    quit.keyEquivalent = "q";
    quit.image = TrayIcon::appIconImage();
    m.add(quit);
    return m;
}

}  // namespace

TEST(IconPainter, DrawsInDevicePixelsAtTheTraysPixelRatio) {
    app();
    const QImage one = renderIcon(TrayIcon::idleImage(), 16, 1.0);
    EXPECT_EQ(one.width(), 16);
    const QImage two = renderIcon(TrayIcon::crossfadeImage(0, false, true, false, false), 16, 2.0);
    EXPECT_EQ(two.width(), 32);
    EXPECT_DOUBLE_EQ(two.devicePixelRatio(), 2.0);
    EXPECT_EQ(qAlpha(two.pixel(0, 0)), 0) << "outside the disc stays transparent";
    // The slash runs bottom-left to top-right: dark on the rising diagonal, grey on the other.
    const QColor onSlash = two.pixelColor(22, 9);
    const QColor offSlash = two.pixelColor(9, 9);
    EXPECT_LT(onSlash.red(), 80);
    EXPECT_NEAR(offSlash.red(), 168, 3);
}

TEST(DBusMenu, ItemProperties) {
    app();
    int clicks = 0;
    const MenuModel m = sampleMenu(&clicks);
    auto listen = dbusMenuProperties(m.items[0]);
    EXPECT_EQ(listen.value("toggle-type").toString(), "checkmark");
    EXPECT_EQ(listen.value("toggle-state").toInt(), 1);
    EXPECT_EQ(dbusMenuProperties(m.items[1]).value("type").toString(), "separator");
    EXPECT_EQ(dbusMenuProperties(m.items[2]).value("children-display").toString(), "submenu");
    EXPECT_EQ(dbusMenuProperties(m.items[2].submenu[1]).value("label").toString(), "USB__mic") << "no mnemonic";
    EXPECT_FALSE(dbusMenuProperties(m.items[3]).value("enabled").toBool());
    auto quit = dbusMenuProperties(m.items[4]);
    EXPECT_TRUE(quit.value("icon-data").toByteArray().startsWith("\x89PNG"));
    EXPECT_EQ(quit.value("shortcut").value<DBusMenuShortcut>(), (DBusMenuShortcut{QStringList{"Control", "q"}}));
}

TEST(DBusMenu, ExporterRebuildsOnDemandAndRunsOnlyEnabledActionsAfterTheReply) {
    app();
    int clicks = 0;
    bool checked = true;
    DBusMenuExporter menu;
    menu.setProvider([&] { return sampleMenu(&clicks, checked); });
    const uint rev = menu.revision();
    DBusMenuLayoutItem root;
    EXPECT_EQ(menu.GetLayout(0, -1, {}, root), rev + 1) << "the first opening builds the menu";
    ASSERT_EQ(root.children.size(), 5);
    EXPECT_EQ(root.children[2].children[1].id, 5) << "submenu items come along at depth -1";
    EXPECT_FALSE(menu.AboutToShow(0)) << "same state, same layout";
    checked = false;
    EXPECT_TRUE(menu.AboutToShow(0));
    EXPECT_EQ(menu.revision(), rev + 2);

    DBusMenuLayoutItem one;
    menu.GetLayout(3, 1, {"label"}, one);
    ASSERT_EQ(one.children.size(), 2);
    EXPECT_EQ(one.children[0].properties.keys(), QStringList{"label"});

    menu.Event(6, "clicked", QDBusVariant(0), 0);  // disabled
    menu.Event(3, "clicked", QDBusVariant(0), 0);  // a submenu has no action
    menu.Event(1, "clicked", QDBusVariant(0), 0);
    EXPECT_EQ(clicks, 0) << "actions run after the reply has gone";
    pump();
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(menu.EventGroup({DBusMenuEvent{77, "clicked", QDBusVariant(0), 0}}), QList<int>{77});
}

TEST(QtMenuPresenter, DrawsTheModel) {
    app();
    int clicks = 0;
    QMenu menu;
    QtMenuPresenter::buildMenu(sampleMenu(&clicks).items, &menu);
    const auto actions = menu.actions();
    ASSERT_EQ(actions.size(), 5);
    EXPECT_TRUE(actions[0]->isCheckable());
    EXPECT_TRUE(actions[0]->isChecked());
    EXPECT_TRUE(actions[1]->isSeparator());
    ASSERT_NE(actions[2]->menu(), nullptr);
    EXPECT_EQ(actions[2]->menu()->actions().size(), 2);
    EXPECT_FALSE(actions[3]->isEnabled());
    EXPECT_EQ(actions[4]->shortcut(), QKeySequence("Ctrl+Q"));
    EXPECT_FALSE(actions[4]->icon().isNull());
    actions[0]->trigger();
    pump();
    EXPECT_EQ(clicks, 1);
}

TEST(QtTrayButton, TitleBecomesTheFirstLineOfTheToolTip) {
    app();
    QtTrayButton button;
    button.setTitle(" 01:15 ▌");
    EXPECT_EQ(button.shownToolTip(), "01:15 ▌");
    button.setToolTip(std::string("Идёт запись встречи — только мик"));
    EXPECT_EQ(button.shownToolTip(), "01:15 ▌\nИдёт запись встречи — только мик");
    EXPECT_EQ(button.toolTip(), "Идёт запись встречи — только мик") << "the controller reads back its own tip";
    button.setTitle("");
    button.setToolTip(std::nullopt);
    EXPECT_EQ(button.shownToolTip(), "");
    EXPECT_FALSE(button.trayIcon().icon().isNull()) << "never an empty slot";
}
