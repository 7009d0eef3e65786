#include "app/StatusBarController.h"
#include "core/Settings.h"
#include "core/VirtualMainLoop.h"
#include "fakes/FakeHotkey.h"
#include "fakes/FakeTray.h"
#include "fakes/Fakes.h"
#include "hotkey/FNKeyTap.h"
#include "hotkey/HotkeyListener.h"
#include "hotkey/HotkeyMenu.h"

#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;

namespace {

using E = std::vector<std::string>;
using A = KeyAction;

struct TapFixture : ::testing::Test {
    VirtualMainLoop loop;
    MemoryLog log;
    FakeKeyEdgeSource source{"evdev"};
    FNKeyTap tap{loop, log, source};
    E edges;

    bool startTap(const std::string& key = "fn") {
        return tap.start(
            *hotkeyKey(key),
            [this] { edges.push_back(loop.isMainThread() ? "press" : "press off the main loop"); },
            [this] { edges.push_back(loop.isMainThread() ? "release" : "release off the main loop"); });
    }
};

}  // namespace

TEST_F(TapFixture, EdgesFromRawKeyEvents) {
    struct Case {
        const char* what;
        std::vector<std::pair<int, KeyAction>> events;
        E expected;
    };
    const std::vector<Case> cases = {
        {"held when we started", {{1, A::repeat}, {1, A::up}}, {}},
        // The release comes when the last of two keyboards lets go; a stray up changes nothing.
        {"two keyboards, one still holding", {{1, A::down}, {2, A::down}, {2, A::up}, {2, A::down}, {1, A::up}},
         {"press"}},
        {"two keyboards, both let go", {{1, A::down}, {2, A::down}, {1, A::up}, {2, A::up}, {2, A::up}},
         {"press", "release"}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.what);
        ASSERT_TRUE(startTap());
        edges.clear();
        for (const auto& [device, action] : tc.events) source.emit(device, action);
        EXPECT_TRUE(edges.empty()) << "edges are queued, never delivered inline";
        loop.runPending();
        EXPECT_EQ(edges, tc.expected);
    }
}

TEST_F(TapFixture, StoppingOrRestartingDropsEdgesAlreadyQueuedAndACallbackMayStopTheTap) {
    ASSERT_TRUE(startTap());
    source.emit(1, A::down);  // queued under the first start
    ASSERT_TRUE(startTap("pause"));
    EXPECT_EQ(source.stops, 1) << "the old watch is stopped first";
    loop.runPending();
    EXPECT_TRUE(edges.empty()) << "an edge of the replaced tap must not arrive";
    source.emit(1, A::down);  // fresh state: a press although the old one had the key down
    source.emit(1, A::up);
    tap.stop();
    loop.runPending();
    EXPECT_TRUE(edges.empty());

    tap.start(*hotkeyKey("fn"), [this] { tap.stop(); edges.push_back("press"); }, [this] { edges.push_back("release"); });
    source.emit(1, A::down);
    source.emit(1, A::up);
    loop.runPending();
    EXPECT_EQ(edges, (E{"press"}));
}

// ------------------------------------------------------------- the listener

namespace {

struct FakeSession final : LoginSession {
    bool front = true;
    bool inFront() const override { return front; }
    void setOnChange(std::function<void(bool)>) override {}
};

struct ListenerFixture : ::testing::Test {
    VirtualMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    FakeKeyEdgeSource evdev{"evdev"};
    FakeKeyEdgeSource x11{"X11 XInput2"};
    FakeNotifier notifier;
    FakeSession session;
    HotkeyListener listener{loop, log, settings, evdev, &x11, &notifier, &session};
    int presses = 0, releases = 0;

    void start() { listener.start([this] { ++presses; }, [this] { ++releases; }); }
};

}  // namespace

TEST_F(ListenerFixture, UsesTheInputDevicesChangingTheKeyStopsTheOldWatchAndNothingCountsBehindTheLock) {
    start();
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::tap);
    EXPECT_TRUE(x11.startedKeys.empty());
    evdev.emit(4, A::down);
    evdev.emit(4, A::up);
    loop.runPending();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(releases, 1);

    evdev.emit(1, A::down);  // queued for the old key
    EXPECT_TRUE(listener.setKey("f13"));
    EXPECT_EQ(evdev.startedKeys, (E{"fn", "f13"}));
    loop.runPending();
    EXPECT_EQ(presses, 1);
    EXPECT_FALSE(listener.setKey("hyper"));
    EXPECT_EQ(settings.getString("ParlandoHotkey"), "f13");

    session.front = false;  // locked, or another user's session after a VT switch
    evdev.emit(2, A::down);
    evdev.emit(2, A::up);
    loop.runPending();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(releases, 1);
    EXPECT_TRUE(notifier.posted.empty()) << "a working key is no news";
}

// What happens when the devices cannot give us the key, and what the user is told.
TEST_F(ListenerFixture, FallbacksAndWhatTheUserIsToldWhenTheKeyCannotWork) {
    struct Case {
        const char* what;
        const char* key;
        const char* evdevFails;  // nullptr: the devices can be read
        bool keyboardsHaveKey;
        const char* x11Fails;
        HotkeyListener::Mode mode;
        E x11Keys;
        const char* told;  // part of the notification, nullptr: none
    };
    const char* denied = "cannot read /dev/input/event* (Permission denied)";
    using M = HotkeyListener::Mode;
    const std::vector<Case> cases = {
        {"denied, X11 sees the key", "rightctrl", denied, true, nullptr, M::fallback, {"rightctrl"}, nullptr},
        {"no keyboard has it, X11 sees it", "pause", nullptr, false, nullptr, M::fallback, {"pause"}, nullptr},
        {"unknown name means fn, which X11 never sees", "meta", denied, true, nullptr, M::none, {},
         "клавиатуры нельзя читать без группы input, а X11 эту клавишу не показывает. Выбери другую клавишу в меню "
         "Parlando → «Клавиша диктовки» или добавь себя в группу input"},
        {"no keyboard reports fn: keep waiting for one", "fn", nullptr, false, nullptr, M::tap, {}, "Ни одна клавиатура не сообщает о клавише FN"},
        {"both unavailable", "insert", "no input devices in /dev/input", true, "no display", M::none, {"insert"}, "нет доступа ни к клавиатурам, ни к X11"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.what);
        notifier.posted.clear();
        x11.startedKeys.clear();
        settings.setString("ParlandoHotkey", tc.key);
        evdev.failWith = tc.evdevFails ? std::optional<std::string>(tc.evdevFails) : std::nullopt;
        evdev.keyboards = tc.keyboardsHaveKey;
        x11.failWith = tc.x11Fails ? std::optional<std::string>(tc.x11Fails) : std::nullopt;
        HotkeyListener fresh{loop, log, settings, evdev, &x11, &notifier, &session};
        fresh.start([this] { ++presses; }, [this] { ++releases; });
        EXPECT_EQ(fresh.mode(), tc.mode);
        EXPECT_EQ(x11.startedKeys, tc.x11Keys);
        ASSERT_EQ(notifier.posted.size(), tc.told ? 1u : 0u);
        EXPECT_EQ(fresh.problem().has_value(), tc.told != nullptr);
        if (!tc.told) continue;
        EXPECT_EQ(notifier.posted[0].title, "Клавиша диктовки не работает");
        EXPECT_NE(notifier.posted[0].body.find(tc.told), std::string::npos) << notifier.posted[0].body;
        fresh.restart();
        EXPECT_EQ(notifier.posted.size(), 1u) << "once per launch and key";
    }
    // A keyboard with fn plugged in later clears the menu's mark.
    evdev.failWith.reset();
    evdev.keyboards = false;
    settings.setString("ParlandoHotkey", "fn");
    HotkeyListener later{loop, log, settings, evdev, &x11, &notifier, &session};
    later.start({}, {});
    EXPECT_TRUE(later.problem());
    evdev.keyboards = true;
    EXPECT_FALSE(later.problem());
}

TEST(HotkeySubmenu, ListsTheKeysWithTheCurrentOneCheckedMarksABrokenOneAndSwitchesAtOnce) {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    auto controller = StatusBarController::create(AppServices{loop, settings, log});
    E changes;
    std::optional<std::string> note;
    HotkeyMenu hotkeys(controller->weak(), [&](const std::string& n) { changes.push_back(n); }, [&] { return note; });
    auto items = hotkeys.buildSubmenu();
    ASSERT_EQ(items.size(), hotkeyNames().size());
    EXPECT_EQ(items[0].checked, true) << "FN when nothing is stored";
    items[3].action();
    EXPECT_EQ(settings.getString("ParlandoHotkey"), "f13");
    EXPECT_EQ(changes, E{"f13"});
    settings.setString("ParlandoHotkey", "bogus");
    EXPECT_EQ(hotkeys.currentHotkey(), "fn");

    note = "Клавиатура не сообщает о FN — выбери другую клавишу";
    items = hotkeys.buildSubmenu();
    EXPECT_EQ(items[0].title, "⚠ Клавиатура не сообщает о FN — выбери другую клавишу");
    EXPECT_FALSE(items[0].enabled);
    EXPECT_EQ(items[2].title, "FN — не работает");
    EXPECT_EQ(items[3].title, "Правый Ctrl");
}
