#include "app/StatusBarController.h"
#include "core/Settings.h"
#include "core/VirtualMainLoop.h"
#include "fakes/FakeHotkey.h"
#include "fakes/FakeTray.h"
#include "fakes/Fakes.h"
#include "hotkey/HotkeyListener.h"
#include "hotkey/HotkeyMenu.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace parlando;
using namespace parlando::testing;

namespace {

using E = std::vector<std::string>;
using A = KeyAction;
using M = HotkeyListener::Mode;

struct FakeSession final : LoginSession {
    bool front = true;
    bool inFront() const override { return front; }
    void setOnChange(std::function<void(bool)>) override {}
};

// The listener over two fake sources, its edges recorded as they reach us.
struct Hotkey : ::testing::Test {
    VirtualMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    FakeKeyEdgeSource evdev, x11;
    FakeNotifier notifier;
    FakeSession session;
    HotkeyListener listener{loop, log, settings, evdev, &x11, &notifier, &session};
    E edges;

    void start(HotkeyListener& l, std::function<void()> onPress = {}) {
        auto record = [this](const char* edge) { edges.push_back(loop.isMainThread() ? edge : "off the main loop"); };
        if (!onPress) onPress = [=] { record("press"); };
        l.start(onPress, [=] { record("release"); });
    }
    E run(const std::vector<std::pair<int, KeyAction>>& events) {
        edges.clear();
        for (const auto& [device, action] : events) evdev.emit(device, action);
        EXPECT_TRUE(edges.empty()) << "edges are queued, never delivered inline";
        loop.runPending();
        return edges;
    }
};

}  // namespace

TEST_F(Hotkey, EdgesAreTheKeysStateOverAllKeyboardsAndCountOnlyWithOurSessionInFront) {
    // What, the events, whether our session is in front, the edges.
    const std::vector<std::tuple<const char*, std::vector<std::pair<int, KeyAction>>, bool, E>> cases = {
        {"held when we started", {{1, A::repeat}, {1, A::up}}, true, {}},
        // The release comes when the last of two keyboards lets go; a stray up changes nothing.
        {"one of two holds", {{1, A::down}, {2, A::down}, {2, A::up}, {2, A::down}, {1, A::up}}, true, {"press"}},
        {"both let go", {{1, A::down}, {2, A::down}, {1, A::up}, {2, A::up}, {2, A::up}}, true, {"press", "release"}},
        {"locked, or another user's session after a VT switch", {{2, A::down}, {2, A::up}}, false, {}},
    };
    start(listener);
    EXPECT_EQ(listener.mode(), M::tap);
    EXPECT_TRUE(x11.startedKeys.empty());
    for (const auto& [what, events, front, expected] : cases) {
        SCOPED_TRACE(what);
        listener.restart();
        session.front = front;
        EXPECT_EQ(run(events), expected);
    }
    EXPECT_TRUE(notifier.posted.empty()) << "a working key is no news";
}

TEST_F(Hotkey, ChangingTheKeyDropsQueuedEdgesAndACallbackMayStopTheListener) {
    start(listener);
    evdev.emit(1, A::down);  // queued for the old key
    EXPECT_TRUE(listener.setKey("f13"));
    EXPECT_EQ(evdev.startedKeys, (E{"fn", "f13"}));
    EXPECT_EQ(evdev.stops, 1) << "the old watch is stopped first";
    EXPECT_EQ(run({}), E{}) << "an edge of the replaced watch must not arrive";
    EXPECT_EQ(run({{1, A::down}, {1, A::up}}), (E{"press", "release"})) << "fresh state after the change";
    EXPECT_FALSE(listener.setKey("hyper"));
    EXPECT_EQ(settings.getString("ParlandoHotkey"), "f13");

    start(listener, [this] { listener.stop(), edges.push_back("press"); });
    EXPECT_EQ(run({{1, A::down}, {1, A::up}}), E{"press"});
}

// What happens when the devices cannot give us the key, and what the user is told.
TEST_F(Hotkey, FallbacksAndWhatTheUserIsToldWhenTheKeyCannotWork) {
    // What, the key, why the devices cannot be read (nullptr: they can), whether a keyboard has the key, why X11
    // fails, the mode, the key X11 was asked for (nullptr: none), part of the notification (nullptr: none).
    using S = const char*;
    const S denied = "cannot read /dev/input/event* (Permission denied)";
    const std::vector<std::tuple<S, S, S, bool, S, M, S, S>> cases = {
        {"denied, X11 sees the key", "rightctrl", denied, true, nullptr, M::fallback, "rightctrl", nullptr},
        {"no keyboard has it, X11 sees it", "pause", nullptr, false, nullptr, M::fallback, "pause", nullptr},
        {"unknown name means fn, which X11 never sees", "meta", denied, true, nullptr, M::none, nullptr,
         "клавиатуры нельзя читать без группы input, а X11 эту клавишу не показывает. Выбери другую клавишу в меню "
         "Parlando → «Клавиша диктовки» или добавь себя в группу input"},
        {"no keyboard reports fn: keep waiting for one", "fn", nullptr, false, nullptr, M::tap, nullptr,
         "Ни одна клавиатура не сообщает о клавише FN"},
        {"both unavailable", "insert", "no input devices in /dev/input", true, "no display", M::none, "insert",
         "нет доступа ни к клавиатурам, ни к X11"},
    };
    for (const auto& [what, key, evdevFails, keyboardsHaveKey, x11Fails, mode, x11Key, told] : cases) {
        SCOPED_TRACE(what);
        notifier.posted.clear();
        x11.startedKeys.clear();
        settings.setString("ParlandoHotkey", key);
        evdev.failWith = evdevFails ? std::optional<std::string>(evdevFails) : std::nullopt;
        evdev.keyboards = keyboardsHaveKey;
        x11.failWith = x11Fails ? std::optional<std::string>(x11Fails) : std::nullopt;
        HotkeyListener fresh{loop, log, settings, evdev, &x11, &notifier, &session};
        start(fresh);
        EXPECT_EQ(fresh.mode(), mode);
        EXPECT_EQ(x11.startedKeys, x11Key ? E{x11Key} : E{});
        ASSERT_EQ(notifier.posted.size(), told ? 1u : 0u);
        EXPECT_EQ(fresh.problem().has_value(), told != nullptr);
        if (!told) continue;
        EXPECT_EQ(notifier.posted[0].title, "Клавиша диктовки не работает");
        EXPECT_NE(notifier.posted[0].body.find(told), std::string::npos) << notifier.posted[0].body;
        fresh.restart();
        EXPECT_EQ(notifier.posted.size(), 1u) << "once per launch and key";
        // A keyboard with the key plugged in later clears the menu's mark.
        evdev.keyboards = true;
        EXPECT_EQ(fresh.problem().has_value(), mode != M::tap);
    }
}

TEST_F(Hotkey, SubmenuListsTheKeysWithTheCurrentOneCheckedMarksABrokenOneAndSwitchesAtOnce) {
    auto controller = StatusBarController::create(AppServices{loop, settings, log});
    std::optional<std::string> note;
    HotkeyMenu hotkeys(
        controller->weak(), [&](const std::string& n) { edges.push_back(n); }, [&] { return note; });
    auto items = hotkeys.buildSubmenu();
    ASSERT_EQ(items.size(), hotkeyNames().size());
    EXPECT_EQ(items[0].checked, true) << "FN when nothing is stored";
    items[3].action();
    EXPECT_EQ(settings.getString("ParlandoHotkey"), "f13");
    EXPECT_EQ(edges, E{"f13"});
    settings.setString("ParlandoHotkey", "bogus");
    EXPECT_EQ(hotkeys.currentHotkey(), "fn");

    note = "Клавиатура не сообщает о FN — выбери другую клавишу";
    items = hotkeys.buildSubmenu();
    EXPECT_EQ(items[0].title, "⚠ Клавиатура не сообщает о FN — выбери другую клавишу");
    EXPECT_FALSE(items[0].enabled);
    EXPECT_EQ(items[2].title, "FN — не работает");
    EXPECT_EQ(items[3].title, "Правый Ctrl");
}
