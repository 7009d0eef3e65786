#include "app/LoginItemSettings.h"
#include "audio/MicrophoneMenu.h"
#include "hotkey/HotkeyMenu.h"
#include "app/StatusBarController.h"
#include "core/VirtualMainLoop.h"
#include "fakes/Fakes.h"
#include "fakes/FakeTray.h"
#include "hotkey/HotkeyNames.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

using namespace parlando;
using namespace parlando::testing;
namespace fs = std::filesystem;

namespace {

struct ScratchDir {
    fs::path path;
    ScratchDir() {
        path = fs::temp_directory_path() / ("parlando-unit-" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
};

std::vector<std::string> titles(const std::vector<MenuItem>& items) {
    std::vector<std::string> out;
    for (const auto& i : items) out.push_back(i.kind == MenuItem::Kind::separator ? "---" : i.title);
    return out;
}

const MenuItem& find(const MenuModel& m, const std::string& title) {
    for (const auto& i : m.items)
        if (i.title == title) return i;
    throw std::runtime_error("no item " + title);
}

struct Rig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeTrayButton button;
    FakeNotifier notifier;
    ScratchDir dir;
    LoginItemSettings login{dir.path / "autostart", "/usr/bin/parlando"};
    bool muted = false, keyPresent = false;
    std::vector<std::string> ran;
    std::shared_ptr<StatusBarController> c;

    explicit Rig(bool allHooks = true) {
        StatusMenuHooks h;
        if (allHooks) {
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
        }
        c = StatusBarController::create(AppServices{loop, settings, log, &button, &notifier, &login}, {}, h);
    }
};

}  // namespace

TEST(StatusMenu, OrderWithDeveloperModeOffAndOn) {
    Rig rig;
    EXPECT_EQ(titles(rig.c->buildMenu().items),
              (std::vector<std::string>{"Слушать", "---", "Начать встречу", "---", "Ключ Deepgram API…", "Микрофон",
                                        "---", "Запускать при входе в систему", "---", "Проверить обновления…", "---",
                                        "О Parlando…", "Выход"}));
    // Toggling the mode takes effect at the next opening.
    rig.settings.setBool("ParlandoDevMode", true);
    rig.c->hooks.buildHotkeySubmenu = [] { return std::vector<MenuItem>{MenuItem::make("FN", {})}; };
    EXPECT_EQ(titles(rig.c->buildMenu().items),
              (std::vector<std::string>{"Слушать", "---", "Начать встречу", "---", "Ключ Deepgram API…", "Микрофон",
                                        "Клавиша диктовки", "Лампа", "---", "Telegram: подключить…", "---",
                                        "Запускать при входе в систему", "---", "Проверить обновления…", "---",
                                        "О Parlando…", "Выход"}));
}

TEST(StatusMenu, FrameStandsWithoutAnyFeatureHooks) {
    Rig rig(false);
    rig.settings.setBool("ParlandoDevMode", true);
    const MenuModel m = rig.c->buildMenu();
    EXPECT_EQ(titles(m.items),
              (std::vector<std::string>{"Слушать", "---", "---", "Ключ Deepgram API…", "Микрофон", "Лампа", "---",
                                        "---", "Запускать при входе в систему", "---", "---", "О Parlando…",
                                        "Выход"}));
    EXPECT_FALSE(find(m, "Микрофон").enabled) << "an empty submenu is greyed out";
    for (const auto& i : m.items)
        if (i.kind == MenuItem::Kind::action) i.action();  // unset hooks do nothing, and do not crash
    // Without a mute hook the tray state answers.
    rig.c->trayState.muted = true;
    EXPECT_EQ(find(rig.c->buildMenu(), "Слушать").checked, false);
}

TEST(StatusMenu, CheckMarksTitlesAndFixedItems) {
    Rig rig;
    MenuModel m = rig.c->buildMenu();
    EXPECT_EQ(find(m, "Слушать").checked, true);
    EXPECT_EQ(find(m, "Запускать при входе в систему").checked, false);
    EXPECT_EQ(find(m, "Выход").keyEquivalent, "q");
    EXPECT_TRUE(find(m, "О Parlando…").image.has_value());
    EXPECT_EQ(find(m, "Микрофон").kind, MenuItem::Kind::submenu);

    rig.muted = true;
    rig.keyPresent = true;
    rig.login.setLaunchAtLogin(true);
    m = rig.c->buildMenu();
    EXPECT_EQ(find(m, "Слушать").checked, false);
    EXPECT_EQ(find(m, "Ключ Deepgram API… (задан)").kind, MenuItem::Kind::action);
    EXPECT_EQ(find(m, "Запускать при входе в систему").checked, true);

    find(m, "Слушать").action();
    find(m, "Ключ Deepgram API… (задан)").action();
    find(m, "О Parlando…").action();
    find(m, "Выход").action();
    EXPECT_EQ(rig.ran, (std::vector<std::string>{"toggleListening", "configureDeepgramKey", "showAbout", "quit"}));
}

TEST(StatusMenu, LeftAndRightClickOpenTheSameFreshMenuAndTheProviderServesIt) {
    Rig rig;
    ASSERT_TRUE(rig.button.onClick);
    rig.button.onClick();
    rig.muted = true;
    rig.button.onClick();
    ASSERT_EQ(rig.button.poppedUp.size(), 2u);
    EXPECT_EQ(find(rig.button.poppedUp[0], "Слушать").checked, true);
    EXPECT_EQ(find(rig.button.poppedUp[1], "Слушать").checked, false) << "built afresh on every click";
    ASSERT_TRUE(rig.button.menuProvider);
    EXPECT_EQ(titles(rig.button.menuProvider().items), titles(rig.c->buildMenu().items));
    // Gone controller: callbacks are detached, a held menu's actions do nothing.
    MenuModel held = rig.c->buildMenu();
    rig.c.reset();
    EXPECT_FALSE(rig.button.onClick);
    find(held, "Запускать при входе в систему").action();
    EXPECT_FALSE(rig.login.isLaunchAtLoginEnabled());
}

TEST(LaunchAtLogin, ToggleRoundTripThroughTheAutostartEntry) {
    Rig rig;
    const fs::path entry = rig.dir.path / "autostart" / "com.parlando.Parlando.desktop";
    find(rig.c->buildMenu(), "Запускать при входе в систему").action();
    ASSERT_TRUE(fs::exists(entry));
    EXPECT_TRUE(rig.log.contains("Launch at login: true"));
    std::ifstream in(entry);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=/usr/bin/parlando\n"), std::string::npos);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_EQ(find(rig.c->buildMenu(), "Запускать при входе в систему").checked, true);

    find(rig.c->buildMenu(), "Запускать при входе в систему").action();
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_TRUE(rig.log.contains("Launch at login: false"));
}

TEST(LaunchAtLogin, HiddenOrSwitchedOffEntriesCountAsOffAndAClickEnablesAgain) {
    ScratchDir dir;
    LoginItemSettings login(dir.path, "/usr/bin/parlando");
    EXPECT_FALSE(login.isLaunchAtLoginEnabled());
    const fs::path entry = dir.path / LoginItemSettings::entryFileName;
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=parlando\nHidden = true\n";
    EXPECT_FALSE(login.isLaunchAtLoginEnabled());
    std::ofstream(entry) << "[Desktop Entry]\nExec=parlando\nX-GNOME-Autostart-enabled=false\n";
    EXPECT_FALSE(login.isLaunchAtLoginEnabled());
    // Keys of other groups do not count.
    std::ofstream(entry) << "[Desktop Entry]\nExec=parlando\n[Desktop Action x]\nHidden=true\n";
    EXPECT_TRUE(login.isLaunchAtLoginEnabled());
    std::ofstream(entry) << "[Desktop Entry]\nHidden=true\n";
    login.setLaunchAtLogin(true);
    EXPECT_TRUE(login.isLaunchAtLoginEnabled());
    login.setLaunchAtLogin(false);
    login.setLaunchAtLogin(false);  // removing an absent entry is fine
    EXPECT_FALSE(login.isLaunchAtLoginEnabled());
}

TEST(LaunchAtLogin, FailureIsShownAndLoggedAndTheStateStays) {
    Rig rig;
    // A file where the autostart folder should be.
    std::ofstream(rig.dir.path / "autostart") << "x";
    find(rig.c->buildMenu(), "Запускать при входе в систему").action();
    EXPECT_TRUE(rig.log.contains("Launch at login error: "));
    EXPECT_TRUE(rig.log.contains("error: Не удалось создать папку"));
    ASSERT_TRUE(rig.button.tip.has_value());
    EXPECT_NE(rig.button.tip->find("Не удалось создать папку"), std::string::npos);
    EXPECT_FALSE(rig.login.isLaunchAtLoginEnabled());

    LoginItemSettings nowhere(std::nullopt, "parlando");
    EXPECT_FALSE(nowhere.isLaunchAtLoginEnabled());
    EXPECT_THROW(nowhere.setLaunchAtLogin(true), LoginItemError);
}

TEST(LaunchAtLogin, ExecValueIsQuotedAndEscaped) {
    EXPECT_EQ(desktopExecValue("/usr/bin/parlando"), "/usr/bin/parlando");
    EXPECT_EQ(desktopExecValue("/opt/My Apps/parlando"), "\"/opt/My Apps/parlando\"");
    EXPECT_EQ(desktopExecValue("/opt/100%/parlando"), "/opt/100%%/parlando");
    // "$" is escaped for the Exec quoting, and that backslash again as a string value.
    EXPECT_EQ(desktopExecValue("/opt/$x/parlando"), "\"/opt/\\\\$x/parlando\"");
    const auto dir = LoginItemSettings::defaultAutostartDir([](const char* name) -> std::optional<std::string> {
        if (std::string(name) == "XDG_CONFIG_HOME") return "/cfg";
        return std::nullopt;
    });
    EXPECT_EQ(dir, fs::path("/cfg/autostart"));
}

// ---------------------------------------------------------------- microphone

TEST(MicSubmenu, NoneOneAndSeveralDevicesWithTheSavedChoiceChecked) {
    auto none = buildMicSubmenu(MicMenuState{}, {}, {});
    EXPECT_EQ(titles(none), std::vector<std::string>{"По умолчанию"});
    EXPECT_EQ(none[0].checked, true);

    MicMenuState one{"Встроенный микрофон", {{"builtin", "Встроенный микрофон"}}, "builtin"};
    auto oneMenu = buildMicSubmenu(one, {}, {});
    EXPECT_EQ(titles(oneMenu),
              (std::vector<std::string>{"По умолчанию (Встроенный микрофон)", "---", "Встроенный микрофон"}));
    EXPECT_EQ(oneMenu[0].checked, false);
    EXPECT_EQ(oneMenu[2].checked, true);

    std::vector<std::pair<std::string, std::string>> chosen;
    MicMenuState several{std::nullopt, {{"a", "USB"}, {"b", "Гарнитура"}, {"c", "Веб-камера"}}, "gone-uid"};
    auto menu = buildMicSubmenu(several, {}, [&](const std::string& uid, const std::string& title) {
        chosen.emplace_back(uid, title);
    });
    EXPECT_EQ(titles(menu), (std::vector<std::string>{"По умолчанию", "---", "USB", "Гарнитура", "Веб-камера"}));
    for (const auto& i : menu) {
        if (i.kind != MenuItem::Kind::separator) {
            EXPECT_EQ(i.checked, false) << i.title;
        }
    }
    menu[3].action();
    EXPECT_EQ(chosen, (std::vector<std::pair<std::string, std::string>>{{"b", "Гарнитура"}}));
}

TEST(MicSubmenu, ActionsSaveTheChoiceClearTheBadgeAndReportFailures) {
    Rig rig;
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
    EXPECT_FALSE(rig.c->allMicsFailed);
    EXPECT_EQ(rig.button.title, "") << "the badge goes before the device is even tried";
    EXPECT_TRUE(rig.log.contains("mic: selected Гарнитура (b)"));
    EXPECT_EQ(mic.buildMicSubmenu()[3].checked, true);

    failure = "Устройство недоступно";
    mic.selectMicDefault();
    EXPECT_FALSE(rig.settings.contains(StatusBarController::micDeviceUIDKey));
    EXPECT_EQ(rig.button.tip, "Устройство недоступно");
    EXPECT_TRUE(rig.log.contains("mic: switch to default failed — Устройство недоступно"));
    mic.selectMicDevice("a", "USB");
    EXPECT_TRUE(rig.log.contains("mic: switch to a failed — Устройство недоступно"));
    EXPECT_EQ(applied, (std::vector<std::optional<std::string>>{"b", std::nullopt, "a"}));
}

TEST(HotkeySubmenu, ListsTheAcceptedKeysWithTheCurrentOneCheckedAndSwitchesAtOnce) {
    Rig rig;
    std::vector<std::string> changes;
    HotkeyMenu hotkeys(rig.c->weak(), [&](const std::string& n) { changes.push_back(n); });
    auto items = hotkeys.buildSubmenu();
    ASSERT_EQ(items.size(), hotkeyNames().size());
    EXPECT_EQ(titles(items), (std::vector<std::string>{"FN", "Правый Ctrl", "Правый Alt", "F13", "Pause",
                                                       "Scroll Lock", "Caps Lock", "Insert"}));
    EXPECT_EQ(items[0].checked, true) << "FN when nothing is stored";
    items[3].action();
    EXPECT_EQ(rig.settings.getString("ParlandoHotkey"), "f13");
    EXPECT_EQ(changes, std::vector<std::string>{"f13"});
    items = hotkeys.buildSubmenu();
    EXPECT_EQ(items[0].checked, false);
    EXPECT_EQ(items[3].checked, true);
    rig.settings.setString("ParlandoHotkey", "bogus");
    EXPECT_EQ(hotkeys.currentHotkey(), "fn");
}
