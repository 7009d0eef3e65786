// The status menu, its microphone submenu, launch at login, and the about
// panel whose hidden switch changes the menu.
#include "AppRig.h"
#include "app/AboutPanelController.h"
#include "audio/MicrophoneMenu.h"
#include "fakes/FakeDictation.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace parlando;
using namespace parlando::testing;
namespace fs = std::filesystem;
using Titles = std::vector<std::string>;

namespace {

const std::string autostart = "Запускать при входе в систему";

struct MenuRig {
    ScratchDir dir;
    const std::string exe = (dir.path / "parlando").string();  // created by the test that needs the file
    LoginItemSettings login{dir.path / "autostart", exe};
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

}  // namespace

TEST(StatusMenu, OrderWithDeveloperModeOffAndOnSeparatorsAndAFrameWithoutHooks) {
    MenuRig rig;
    EXPECT_EQ(drawn(rig.menu().items),
              (Titles{"✓Слушать", "---", "Начать встречу", "---", "Ключ Deepgram API…", "Микрофон", "---", autostart,
                      "---", "Проверить обновления…", "---", "О Parlando…", "Выход"}));
    // Toggling the mode takes effect at the next opening.
    rig.app.settings.setBool("ParlandoDevMode", true);
    rig.app.c->hooks.buildHotkeySubmenu = [] { return std::vector<MenuItem>{MenuItem::make("FN", {})}; };
    EXPECT_EQ(drawn(rig.menu().items),
              (Titles{"✓Слушать", "---", "Начать встречу", "---", "Ключ Deepgram API…", "Микрофон", "Клавиша диктовки",
                      "Лампа", "---", "Telegram: подключить…", "---", autostart, "---", "Проверить обновления…", "---",
                      "О Parlando…", "Выход"}));
    // Separators only between sections that have items.
    rig.app.c->hooks.addMeetingMenuItems = rig.app.c->hooks.addTelegramMenuItems = [](MenuModel&) {};
    rig.app.c->hooks.addUpdateMenuItems = {};
    rig.app.c->hooks.buildHotkeySubmenu = {};
    EXPECT_EQ(drawn(rig.menu().items), (Titles{"✓Слушать", "---", "Ключ Deepgram API…", "Микрофон", "Лампа", "---",
                                               autostart, "---", "О Parlando…", "Выход"}));

    MenuRig bare(false);
    bare.app.settings.setBool("ParlandoDevMode", true);
    const MenuModel m = bare.menu();
    EXPECT_EQ(drawn(m.items)[3], "Микрофон (off)") << "an empty submenu is greyed out";
    for (const auto& i : m.items)
        if (i.kind == MenuItem::Kind::action) i.action();  // unset hooks do nothing, and do not crash
    bare.app.c->trayState.muted = true;                    // without a mute hook the tray state answers
    EXPECT_EQ(find(bare.menu(), "Слушать").checked, false);
}

TEST(StatusMenu, EveryClickBuildsAFreshMenuWithCurrentMarksAndAGoneControllerDetaches) {
    MenuRig rig;
    rig.app.button.onClick();
    rig.muted = rig.keyPresent = true;
    rig.app.button.onClick();
    ASSERT_EQ(rig.app.button.poppedUp.size(), 2u);
    EXPECT_EQ(find(rig.app.button.poppedUp[0], "Слушать").checked, true);
    const MenuModel m = rig.app.button.poppedUp[1];
    EXPECT_EQ(find(m, "Слушать").checked, false);
    for (const char* t : {"Слушать", "Ключ Deepgram API… (задан)", "О Parlando…", "Выход"}) find(m, t).action();
    EXPECT_EQ(rig.ran, (Titles{"toggleListening", "configureDeepgramKey", "showAbout", "quit"}));
    EXPECT_EQ(drawn(rig.app.button.menuProvider().items), drawn(m.items));
    rig.app.c.reset();
    EXPECT_FALSE(rig.app.button.onClick);
    find(m, autostart).action();
    EXPECT_FALSE(rig.login.isLaunchAtLoginEnabled());
}

TEST(LaunchAtLogin, TheItemIsCheckedOnlyForAnEntryThatStartsThisBinaryAndTurningItOnRewritesAStaleOne) {
    MenuRig rig;
    const fs::path entry = rig.dir.path / "autostart" / LoginItemSettings::entryFileName;
    fs::create_directories(entry.parent_path());
    std::ofstream(rig.exe) << "binary";
    fs::create_symlink(rig.exe, rig.dir.path / "link");
    const std::string exec = "Exec=" + rig.exe;
    const std::pair<std::string, bool> entries[] = {
        {exec + "\n", true},
        {"Exec=\"" + rig.exe + "\" --quiet\n", true},
        {"Exec=" + (rig.dir.path / "link").string() + "\n", true},  // the same file through a link
        {"Exec=/opt/old-build/parlando\n", false},
        {exec + "\nHidden=true\n", false},
        {exec + "\nX-GNOME-Autostart-enabled=false\n", false},
        {"Name=Parlando\n", false},
    };
    for (const auto& [lines, checked] : entries) {
        std::ofstream(entry) << "[Desktop Entry]\nType=Application\n" << lines;
        EXPECT_EQ(find(rig.menu(), autostart).checked, checked) << lines;
    }
    find(rig.menu(), autostart).action();  // the stale entry is replaced by ours
    EXPECT_TRUE(rig.app.log.contains("Launch at login: true"));
    EXPECT_NE(readText(entry).find("\n" + exec + "\n"), std::string::npos) << readText(entry);
    EXPECT_EQ(find(rig.menu(), autostart).checked, true);
    find(rig.menu(), autostart).action();
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_TRUE(rig.app.log.contains("Launch at login: false"));

    EXPECT_EQ(desktopExecValue("/opt/My Apps/parlando"), "\"/opt/My Apps/parlando\"");
    EXPECT_EQ(desktopExecValue("/opt/100%/parlando"), "/opt/100%%/parlando");
    // "$" is escaped for the Exec quoting, and that backslash again as a string value.
    EXPECT_EQ(desktopExecValue("/opt/$x/parlando"), "\"/opt/\\\\$x/parlando\"");
    LoginItemSettings odd(rig.dir.path / "autostart", "/opt/$x 100%/parlando");
    odd.setLaunchAtLogin(true);
    EXPECT_TRUE(odd.isLaunchAtLoginEnabled()) << "what we write, we read back as ours";
}

TEST(LaunchAtLogin, FailureIsShownAndLoggedAndTheStateStays) {
    MenuRig rig;
    std::ofstream(rig.dir.path / "autostart") << "x";  // a file where the folder should be
    find(rig.menu(), autostart).action();
    EXPECT_TRUE(rig.app.log.contains("Launch at login error: "));
    EXPECT_NE(rig.app.button.tip.value_or("").find("Не удалось создать папку"), std::string::npos);
    EXPECT_FALSE(rig.login.isLaunchAtLoginEnabled());
    EXPECT_THROW(LoginItemSettings(std::nullopt, "parlando").setLaunchAtLogin(true), LoginItemError);
}

TEST(MicSubmenu, TheSavedChoiceIsCheckedActionsSaveItClearTheBadgeAndReportFailures) {
    // With the sound server away the submenu says so, greyed.
    EXPECT_EQ(drawn(buildMicSubmenu({std::nullopt, {}, "usb", true}, {}, {})),
              (Titles{"По умолчанию", "---", "Звуковой сервер недоступен (off)"}));
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
    EXPECT_EQ(drawn(items), (Titles{"✓По умолчанию (USB)", "---", "USB", "Гарнитура"}));

    rig.c->allMicsFailed = true;
    rig.c->refreshTrayBadge();
    items[3].action();  // "Гарнитура"
    EXPECT_EQ(rig.settings.getString(StatusBarController::micDeviceUIDKey), "b");
    EXPECT_EQ(rig.button.title, "") << "the badge goes before the device is even tried";
    EXPECT_EQ(drawn(mic.buildMicSubmenu()), (Titles{"По умолчанию (USB)", "---", "USB", "✓Гарнитура"}));
    rig.settings.setString(StatusBarController::micDeviceUIDKey, "gone-uid");
    EXPECT_EQ(drawn(mic.buildMicSubmenu()), (Titles{"По умолчанию (USB)", "---", "USB", "Гарнитура"})) << "gone";

    failure = "Устройство недоступно";
    mic.selectMicDefault();
    EXPECT_FALSE(rig.settings.contains(StatusBarController::micDeviceUIDKey));
    EXPECT_EQ(rig.button.tip, "Устройство недоступно");
    EXPECT_TRUE(rig.log.contains("mic: switch to default failed — Устройство недоступно"));
    EXPECT_EQ(applied, (std::vector<std::optional<std::string>>{"b", std::nullopt}));
}

namespace {

struct StatusLine final : AboutPanelView {
    std::string* text;
    explicit StatusLine(std::string* t) : text(t) {}
    void present() override {}
    void setDevStatus(const std::string& t) override { *text = t; }
};

struct AboutRig {
    AppRig app{[] {
        StatusMenuHooks h;
        h.buildLightSubmenu = [] { return std::vector<MenuItem>{MenuItem::make("Включена", {})}; };
        return h;
    }()};
    FakeAlertPresenter alerts;
    std::optional<std::string> reattachError;
    std::string devStatus = "unset";
    AboutPanelController about{
        AboutServices{app.loop, app.settings, app.log, alerts, {}, [this] { return reattachError; }},
        [this](AboutPanelController&) { return std::make_unique<StatusLine>(&devStatus); }};
    void taps(int n, double gap) {
        for (int i = 0; i < n; ++i) {
            if (i > 0) app.advance(gap);
            about.handleVersionTap();
        }
    }
    bool menuHasLamp() {
        return std::ranges::any_of(app.c->buildMenu().items, [](const MenuItem& i) { return i.title == "Лампа"; });
    }
};

}  // namespace

TEST(AboutPanel, TenQuickClicksToggleDeveloperModeAndTheMenu) {
    AboutRig rig;
    rig.about.show();
    EXPECT_EQ(rig.devStatus, "") << "off: the line is empty, not hidden";
    rig.taps(9, 0.1);
    rig.app.advance(2.1);
    rig.taps(1, 0);
    EXPECT_EQ(rig.about.tapCount(), 1) << "a pause restarts the count";
    rig.app.advance(2.1);
    rig.taps(10, 1.9);
    EXPECT_EQ(rig.about.tapCount(), 0);
    EXPECT_EQ(rig.devStatus, "DEV-режим включён");
    EXPECT_TRUE(rig.menuHasLamp()) << "the menu reads the flag at each build";
    ASSERT_EQ(rig.alerts.shown.size(), 1u);
    EXPECT_EQ(rig.alerts.shown[0].messageText, "DEV-режим включён");
    rig.app.advance(1.9);
    rig.taps(1, 0);
    EXPECT_EQ(rig.about.tapCount(), 1) << "the eleventh starts a new count";
    rig.taps(9, 0.05);
    EXPECT_EQ(rig.devStatus, "");
    EXPECT_FALSE(rig.menuHasLamp());
    EXPECT_EQ(rig.alerts.shown.size(), 2u);
}

TEST(AboutPanel, RestoreTrayIconAsksFirstAndReportsTheOutcome) {
    AboutRig rig;
    rig.alerts.answer = 1;  // "Отмена": nothing runs, nothing is logged
    rig.about.restoreTrayIcon();
    EXPECT_TRUE(rig.app.log.lines().empty());
    rig.alerts.answer = 0;
    rig.about.restoreTrayIcon();
    EXPECT_EQ(rig.alerts.shown.back().messageText, "Готово");
    rig.reattachError = "no StatusNotifierWatcher";
    rig.about.restoreTrayIcon();
    EXPECT_EQ(rig.alerts.shown.back().messageText, "Не получилось запустить восстановление");
}
