// The tray adapters and the alert without any server, on the offscreen
// platform: icon painting at HiDPI, the dbusmenu mapping and exporter logic,
// the Qt menu presenter, the XEmbed tool tip, the alert's secret fields and
// answer (focus, the default button and typed keys: the set-api-key command's
// run on an X server).
#include "app/StatusBarController.h"
#include "app/adapters/DBusMenuExporter.h"
#include "app/adapters/IconPainter.h"
#include "app/adapters/QtAlertPresenter.h"
#include "app/adapters/QtMenuPresenter.h"
#include "app/adapters/QtTrayButton.h"

#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include <cstdlib>

using namespace parlando;

namespace {

// One application for the whole binary, never deleted, so it cannot outlive its statics badly.
QApplication& offscreenApp() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "unit_app_adapters", *argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

void pump() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

MenuModel sampleMenu(int* clicks) {
    MenuModel m;
    MenuItem listen = MenuItem::make("Слушать", [clicks] { ++*clicks; });
    listen.checked = true;
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
    offscreenApp();
    const QImage two = renderIcon(TrayIcon::crossfadeImage(0, false, true, false, false), 16, 2.0);
    EXPECT_EQ(two.width(), 32);
    EXPECT_DOUBLE_EQ(two.devicePixelRatio(), 2.0);
    EXPECT_EQ(qAlpha(two.pixel(0, 0)), 0) << "outside the disc stays transparent";
    // The slash runs bottom-left to top-right: dark on the rising diagonal, grey on the other.
    EXPECT_LT(two.pixelColor(22, 9).red(), 80);
    EXPECT_NEAR(two.pixelColor(9, 9).red(), 168, 3);
}

TEST(DBusMenu, ItemPropertiesAndAnExporterThatRunsOnlyEnabledActionsAfterTheReply) {
    offscreenApp();
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
    offscreenApp();
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
    offscreenApp();
    QtTrayButton button;
    button.setTitle(" 01:15 ▌");
    button.setToolTip(std::string("Идёт запись встречи — только мик"));
    EXPECT_EQ(button.shownToolTip(), "01:15 ▌\nИдёт запись встречи — только мик");
    EXPECT_EQ(button.toolTip(), "Идёт запись встречи — только мик") << "the controller reads back its own tip";
    EXPECT_FALSE(button.trayIcon().icon().isNull()) << "never an empty slot";
}

TEST(QtAlertPresenter, HidesSecretFieldsAndAnswersWithTheClickedButtonAndTheFieldTexts) {
    offscreenApp();
    AlertSpec spec;
    spec.messageText = "Deepgram API key";
    spec.buttons = {"Сохранить", "Отмена"};
    spec.fields = {AlertField{"сюда вставь ключ", "", true}, AlertField{"port", "7420", false}};
    // The dialog is up by the time its own loop runs the first timer; a dialog
    // nobody answers must not hang the suite.
    QTimer::singleShot(0, [] {
        QWidget* d = QApplication::activeModalWidget();
        auto* secret = d ? d->findChild<QLineEdit*>("alertField0") : nullptr;
        auto* port = d ? d->findChild<QLineEdit*>("alertField1") : nullptr;
        auto* cancel = d ? d->findChild<QPushButton*>("alertButton1") : nullptr;
        ASSERT_TRUE(secret && port && cancel);
        EXPECT_EQ(secret->echoMode(), QLineEdit::Password);
        EXPECT_EQ(port->echoMode(), QLineEdit::Normal);
        cancel->click();
    });
    QTimer::singleShot(20000, [] {
        if (QWidget* d = QApplication::activeModalWidget()) d->close();
    });
    const AlertResult r = QtAlertPresenter().runModal(spec);
    EXPECT_EQ(r.buttonIndex, 1);
    EXPECT_EQ(r.fieldTexts, (std::vector<std::string>{"", "7420"})) << "initial text of a plain field";
}
