// The tray adapters without any server: icon painting at HiDPI, the dbusmenu
// mapping and exporter logic, the Qt menu presenter, the XEmbed tool tip.
#include "app/StatusBarController.h"
#include "app/adapters/DBusMenuExporter.h"
#include "app/adapters/IconPainter.h"
#include "app/adapters/QtMenuPresenter.h"
#include "app/adapters/QtTrayButton.h"

#include "OffscreenApp.h"

#include <gtest/gtest.h>
#include <QAction>
#include <QMenu>

using namespace parlando;

namespace {

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
    parlando::testing::offscreenApp();
    const QImage two = renderIcon(TrayIcon::crossfadeImage(0, false, true, false, false), 16, 2.0);
    EXPECT_EQ(two.width(), 32);
    EXPECT_DOUBLE_EQ(two.devicePixelRatio(), 2.0);
    EXPECT_EQ(qAlpha(two.pixel(0, 0)), 0) << "outside the disc stays transparent";
    // The slash runs bottom-left to top-right: dark on the rising diagonal, grey on the other.
    EXPECT_LT(two.pixelColor(22, 9).red(), 80);
    EXPECT_NEAR(two.pixelColor(9, 9).red(), 168, 3);
}

TEST(DBusMenu, ItemPropertiesAndAnExporterThatRunsOnlyEnabledActionsAfterTheReply) {
    parlando::testing::offscreenApp();
    int clicks = 0;
    const MenuModel m = sampleMenu(&clicks);
    EXPECT_EQ(dbusMenuProperties(m.items[0]).value("toggle-type").toString(), "checkmark");
    EXPECT_EQ(dbusMenuProperties(m.items[1]).value("type").toString(), "separator");
    EXPECT_EQ(dbusMenuProperties(m.items[2]).value("children-display").toString(), "submenu");
    EXPECT_EQ(dbusMenuProperties(m.items[2].submenu[1]).value("label").toString(), "USB__mic") << "no mnemonic";
    EXPECT_FALSE(dbusMenuProperties(m.items[3]).value("enabled").toBool());
    const auto quit = dbusMenuProperties(m.items[4]);
    EXPECT_TRUE(quit.value("icon-data").toByteArray().startsWith("\x89PNG"));
    EXPECT_EQ(quit.value("shortcut").value<DBusMenuShortcut>(), (DBusMenuShortcut{QStringList{"Control", "q"}}));

    DBusMenuExporter menu;
    menu.setProvider([&] { return sampleMenu(&clicks); });
    DBusMenuLayoutItem one;
    menu.GetLayout(0, -1, {}, one);        // the first opening builds the menu
    menu.GetLayout(3, 1, {"label"}, one);  // then one submenu, one property
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
    parlando::testing::offscreenApp();
    int clicks = 0;
    QMenu menu;
    QtMenuPresenter::buildMenu(sampleMenu(&clicks).items, &menu);
    QStringList drawn;  // text, check, separator, submenu, enabled, shortcut
    for (QAction* a : menu.actions())
        drawn << a->text() + (a->isChecked() ? "✓" : "") + (a->isSeparator() ? "---" : "") + (a->menu() ? ">" : "") +
                     (a->isEnabled() ? "" : " (off)") + a->shortcut().toString();
    EXPECT_EQ(drawn, QStringList({"Слушать✓", "---", "Микрофон>", "Серый (off)", "ВыходCtrl+Q"}));
    menu.actions()[0]->trigger();
    pump();
    EXPECT_EQ(clicks, 1);
}

TEST(QtTrayButton, TitleBecomesTheFirstLineOfTheToolTip) {
    parlando::testing::offscreenApp();
    QtTrayButton button;
    button.setTitle(" 01:15 ▌");
    button.setToolTip(std::string("Идёт запись встречи — только мик"));
    EXPECT_EQ(button.shownToolTip(), "01:15 ▌\nИдёт запись встречи — только мик");
    EXPECT_EQ(button.toolTip(), "Идёт запись встречи — только мик") << "the controller reads back its own tip";
    EXPECT_FALSE(button.trayIcon().icon().isNull()) << "never an empty slot";
}
