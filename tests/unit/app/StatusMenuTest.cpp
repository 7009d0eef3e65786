#include "AppRig.h"
#include "audio/MicrophoneMenu.h"
#include "hotkey/HotkeyMenu.h"
#include "hotkey/HotkeyNames.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace parlando;
using namespace parlando::testing;
namespace fs = std::filesystem;
using Titles = std::vector<std::string>;

namespace {

const std::string autostart = "Запускать при входе в систему";

struct MenuRig {
    ScratchDir dir;
    LoginItemSettings login{dir.path / "autostart", "/usr/bin/parlando"};
    bool muted = false, keyPresent = false;
    std::vector<std::string> ran;
    AppRig app;

    explicit MenuRig(bool allHooks = true) : app(allHooks ? hooks() : StatusMenuHooks{}, {}, &login) {}
    StatusMenuHooks hooks() {
        StatusMenuHooks h;
        h.isMuted = [this] { return muted; };
        h.toggleListening = [this] { ran.push_back("toggleListening"); };
        h.isDeepgramKeyPresent = [this] { return keyPresent; };
        h.configureDeepgramKey = [this] { ran.push_back("configureDeepgramKey"); };
        h.buildMicSubmenu = [] { return std::vector<MenuItem>{MenuItem::make("По умолчанию", {})}; };
        h.buildLightSubmenu = [] { return std::vector<MenuItem>{MenuItem::make("Включена", {})}; };
        h.addMeetingMenuItems = [](MenuModel& m) { m.add(MenuItem::make("Начать встречу", {})); };
        h.addTelegramMenuItems = [](MenuModel& m) { m.add(MenuItem::make("Telegram: подключить…", {})); };
        h.addUpdateMenuItems = [](MenuModel& m) { m.add(MenuItem::make("Проверить обновления…", {})); };
        h.showAbout = [this] { ran.push_back("showAbout"); };
        h.quit = [this] { ran.push_back("quit"); };
        return h;
    }
    MenuModel menu() { return app.c->buildMenu(); }
};

std::string readAll(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(StatusMenu, OrderWithDeveloperModeOffAndOn) {
    MenuRig rig;
    EXPECT_EQ(titles(rig.menu().items),
              (Titles{"Слушать", "---", "Начать встречу", "---", "Ключ Deepgram API…", "Микрофон", "---", autostart,
                      "---", "Проверить обновления…", "---", "О Parlando…", "Выход"}));
    // Toggling the mode takes effect at the next opening.
    rig.app.settings.setBool("ParlandoDevMode", true);
    rig.app.c->hooks.buildHotkeySubmenu = [] { return std::vector<MenuItem>{MenuItem::make("FN", {})}; };
    EXPECT_EQ(titles(rig.menu().items),
              (Titles{"Слушать", "---", "Начать встречу", "---", "Ключ Deepgram API…", "Микрофон", "Клавиша диктовки",
                      "Лампа", "---", "Telegram: подключить…", "---", autostart, "---", "Проверить обновления…", "---",
                      "О Parlando…", "Выход"}));
}

TEST(StatusMenu, SeparatorsOnlyBetweenSectionsWithItems) {
    MenuRig rig;
    rig.app.c->hooks.addMeetingMenuItems = [](MenuModel&) {};
    rig.app.c->hooks.addTelegramMenuItems = [](MenuModel&) {};
    rig.app.c->hooks.addUpdateMenuItems = {};
    rig.app.settings.setBool("ParlandoDevMode", true);
    EXPECT_EQ(titles(rig.menu().items), (Titles{"Слушать", "---", "Ключ Deepgram API…", "Микрофон", "Лампа", "---",
                                                autostart, "---", "О Parlando…", "Выход"}));
}

TEST(StatusMenu, FrameStandsWithoutAnyFeatureHooks) {
    MenuRig rig(false);
    rig.app.settings.setBool("ParlandoDevMode", true);
    const MenuModel m = rig.menu();
    EXPECT_FALSE(find(m, "Микрофон").enabled) << "an empty submenu is greyed out";
    for (const auto& i : m.items)
        if (i.kind == MenuItem::Kind::action) i.action();  // unset hooks do nothing, and do not crash
    rig.app.c->trayState.muted = true;  // without a mute hook the tray state answers
    EXPECT_EQ(find(rig.menu(), "Слушать").checked, false);
}

TEST(StatusMenu, CheckMarksTitlesAndActions) {
    MenuRig rig;
    MenuModel m = rig.menu();
    EXPECT_EQ(find(m, "Слушать").checked, true);
    EXPECT_EQ(find(m, autostart).checked, false);

    rig.muted = rig.keyPresent = true;
    rig.login.setLaunchAtLogin(true);
    m = rig.menu();
    EXPECT_EQ(find(m, "Слушать").checked, false);
    EXPECT_EQ(find(m, autostart).checked, true);
    for (const char* t : {"Слушать", "Ключ Deepgram API… (задан)", "О Parlando…", "Выход"}) find(m, t).action();
    EXPECT_EQ(rig.ran, (Titles{"toggleListening", "configureDeepgramKey", "showAbout", "quit"}));
}

TEST(StatusMenu, EveryClickBuildsAFreshMenuAndAGoneControllerDetaches) {
    MenuRig rig;
    ASSERT_TRUE(rig.app.button.onClick);
    rig.app.button.onClick();
    rig.muted = true;
    rig.app.button.onClick();
    ASSERT_EQ(rig.app.button.poppedUp.size(), 2u);
    EXPECT_EQ(find(rig.app.button.poppedUp[0], "Слушать").checked, true);
    EXPECT_EQ(find(rig.app.button.poppedUp[1], "Слушать").checked, false);
    EXPECT_EQ(titles(rig.app.button.menuProvider().items), titles(rig.menu().items));
    MenuModel held = rig.menu();
    rig.app.c.reset();
    EXPECT_FALSE(rig.app.button.onClick);
    find(held, autostart).action();
    EXPECT_FALSE(rig.login.isLaunchAtLoginEnabled());
}

TEST(LaunchAtLogin, ToggleRoundTripThroughTheAutostartEntry) {
    MenuRig rig;
    const fs::path entry = rig.dir.path / "autostart" / LoginItemSettings::entryFileName;
    find(rig.menu(), autostart).action();
    EXPECT_TRUE(rig.app.log.contains("Launch at login: true"));
    const std::string text = readAll(entry);
    for (const char* line : {"[Desktop Entry]\n", "\nExec=/usr/bin/parlando\n", "\nType=Application\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(find(rig.menu(), autostart).checked, true);
    find(rig.menu(), autostart).action();
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_TRUE(rig.app.log.contains("Launch at login: false"));
}

TEST(LaunchAtLogin, FailureIsShownAndLoggedAndTheStateStays) {
    MenuRig rig;
    std::ofstream(rig.dir.path / "autostart") << "x";  // a file where the folder should be
    find(rig.menu(), autostart).action();
    EXPECT_TRUE(rig.app.log.contains("Launch at login error: "));
    ASSERT_TRUE(rig.app.button.tip.has_value());
    EXPECT_NE(rig.app.button.tip->find("Не удалось создать папку"), std::string::npos);
    EXPECT_FALSE(rig.login.isLaunchAtLoginEnabled());
    EXPECT_THROW(LoginItemSettings(std::nullopt, "parlando").setLaunchAtLogin(true), LoginItemError);
}

TEST(LaunchAtLogin, ExecValueIsQuotedAndEscaped) {
    EXPECT_EQ(desktopExecValue("/usr/bin/parlando"), "/usr/bin/parlando");
    EXPECT_EQ(desktopExecValue("/opt/My Apps/parlando"), "\"/opt/My Apps/parlando\"");
    EXPECT_EQ(desktopExecValue("/opt/100%/parlando"), "/opt/100%%/parlando");
    // "$" is escaped for the Exec quoting, and that backslash again as a string value.
    EXPECT_EQ(desktopExecValue("/opt/$x/parlando"), "\"/opt/\\\\$x/parlando\"");
}

TEST(MicSubmenu, NoneOneAndSeveralDevicesWithTheSavedChoiceChecked) {
    auto none = buildMicSubmenu(MicMenuState{}, {}, {});
    EXPECT_EQ(titles(none), Titles{"По умолчанию"});
    EXPECT_EQ(none[0].checked, true);

    auto one = buildMicSubmenu({"Встроенный микрофон", {{"builtin", "Встроенный микрофон"}}, "builtin"}, {}, {});
    EXPECT_EQ(titles(one), (Titles{"По умолчанию (Встроенный микрофон)", "---", "Встроенный микрофон"}));
    EXPECT_EQ(one[0].checked, false);
    EXPECT_EQ(one[2].checked, true);

    // A saved device that is gone: nothing is checked.
    std::vector<std::pair<std::string, std::string>> chosen;
    auto menu = buildMicSubmenu({std::nullopt, {{"a", "USB"}, {"b", "Гарнитура"}, {"c", "Веб-камера"}}, "gone-uid"}, {},
                                [&](const std::string& uid, const std::string& t) { chosen.emplace_back(uid, t); });
    EXPECT_EQ(titles(menu), (Titles{"По умолчанию", "---", "USB", "Гарнитура", "Веб-камера"}));
    for (const auto& i : menu) EXPECT_NE(i.checked, true) << i.title;
    menu[3].action();
    EXPECT_EQ(chosen, (std::vector<std::pair<std::string, std::string>>{{"b", "Гарнитура"}}));
}

TEST(MicSubmenu, ActionsSaveTheChoiceClearTheBadgeAndReportFailures) {
    AppRig rig;
    std::vector<std::optional<std::string>> applied;
    std::optional<std::string> failure;
    MicEngineHooks engine;
    engine.defaultInputDevice = [] { return std::optional<MicMenuDevice>(MicMenuDevice{"a", "USB"}); };
    engine.inputDevices = [] { return std::vector<MicMenuDevice>{{"a", "USB"}, {"b", "Гарнитура"}}; };
    engine.setDeviceUID = [&](const std::optional<std::string>& uid) {
        applied.push_back(uid);
        return failure;
    };
    MicrophoneMenu mic(rig.c->weak(), engine);
    rig.settings.setString(StatusBarController::micDeviceUIDKey, "   ");  // blank counts as absent
    auto items = mic.buildMicSubmenu();
    EXPECT_EQ(items[0].title, "По умолчанию (USB)");
    EXPECT_EQ(items[0].checked, true);

    rig.c->allMicsFailed = true;
    rig.c->refreshTrayBadge();
    items[3].action();  // "Гарнитура"
    EXPECT_EQ(rig.settings.getString(StatusBarController::micDeviceUIDKey), "b");
    EXPECT_EQ(rig.button.title, "") << "the badge goes before the device is even tried";
    EXPECT_EQ(mic.buildMicSubmenu()[3].checked, true);

    failure = "Устройство недоступно";
    mic.selectMicDefault();
    EXPECT_FALSE(rig.settings.contains(StatusBarController::micDeviceUIDKey));
    EXPECT_EQ(rig.button.tip, "Устройство недоступно");
    EXPECT_TRUE(rig.log.contains("mic: switch to default failed — Устройство недоступно"));
    EXPECT_EQ(applied, (std::vector<std::optional<std::string>>{"b", std::nullopt}));
}

TEST(HotkeySubmenu, ListsTheAcceptedKeysWithTheCurrentOneCheckedAndSwitchesAtOnce) {
    AppRig rig;
    std::vector<std::string> changes;
    HotkeyMenu hotkeys(rig.c->weak(), [&](const std::string& n) { changes.push_back(n); });
    auto items = hotkeys.buildSubmenu();
    ASSERT_EQ(items.size(), hotkeyNames().size());
    EXPECT_EQ(items[0].checked, true) << "FN when nothing is stored";
    items[3].action();
    EXPECT_EQ(rig.settings.getString("ParlandoHotkey"), "f13");
    EXPECT_EQ(changes, Titles{"f13"});
    EXPECT_EQ(hotkeys.buildSubmenu()[3].checked, true);
    rig.settings.setString("ParlandoHotkey", "bogus");
    EXPECT_EQ(hotkeys.currentHotkey(), "fn");
}
