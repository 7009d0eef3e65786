#include "core/Settings.h"
#include "core/VirtualMainLoop.h"
#include "fakes/FakeHotkey.h"
#include "fakes/Fakes.h"
#include "hotkey/FNKeyTap.h"
#include "hotkey/HotkeyListener.h"

#include <gtest/gtest.h>

using namespace parlando;
using parlando::testing::FakeKeyEdgeSource;
using parlando::testing::MemoryLog;

namespace {

using E = std::vector<std::string>;

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
    using A = KeyAction;
    struct Case {
        const char* what;
        std::vector<std::pair<int, KeyAction>> events;
        E expected;
    };
    const std::vector<Case> cases = {
        {"down and up", {{1, A::down}, {1, A::up}}, {"press", "release"}},
        {"repeats and a second down", {{1, A::down}, {1, A::repeat}, {1, A::down}, {1, A::up}}, {"press", "release"}},
        {"held when we started", {{1, A::repeat}, {1, A::up}}, {}},
        // The release comes when the last of two keyboards lets go; a stray up changes nothing.
        {"two keyboards, one still holding", {{1, A::down}, {2, A::down}, {2, A::up}, {2, A::down}, {1, A::up}},
         {"press"}},
        {"two keyboards, both let go", {{1, A::down}, {2, A::down}, {1, A::up}, {2, A::up}, {2, A::up}},
         {"press", "release"}},
        // A keyboard vanishing while holding the key releases it; the next down is a press again.
        {"keyboard gone",
         {{1, A::down}, {1, A::deviceGone}, {3, A::down}, {7, A::deviceGone}},
         {"press", "release", "press"}},
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
    EXPECT_TRUE(log.contains("FN: evdev tap installed (fn key)"));
}

TEST_F(TapFixture, StoppingOrRestartingDropsEdgesAlreadyQueued) {
    ASSERT_TRUE(startTap());
    source.emit(1, KeyAction::down);  // queued under the first start
    ASSERT_TRUE(startTap("pause"));
    EXPECT_EQ(source.stops, 1) << "the old watch is stopped first";
    EXPECT_EQ(source.startedKeys, (E{"fn", "pause"}));
    loop.runPending();
    EXPECT_TRUE(edges.empty()) << "an edge of the replaced tap must not arrive";
    source.emit(1, KeyAction::down);  // fresh state: a press although the old one had the key down
    loop.runPending();
    EXPECT_EQ(edges, (E{"press"}));

    source.emit(1, KeyAction::up);
    tap.stop();
    EXPECT_FALSE(source.running());
    loop.runPending();
    EXPECT_EQ(edges, (E{"press"}));
}

TEST_F(TapFixture, ACallbackMayStopTheTap) {
    tap.start(*hotkeyKey("fn"), [this] { tap.stop(); edges.push_back("press"); }, [this] { edges.push_back("release"); });
    source.emit(1, KeyAction::down);
    source.emit(1, KeyAction::up);
    loop.runPending();
    EXPECT_EQ(edges, (E{"press"}));
}

TEST_F(TapFixture, FailedStartLogsTheReason) {
    source.failWith = "cannot read /dev/input/event* (Permission denied) — sudo usermod -aG input $USER";
    EXPECT_FALSE(startTap());
    EXPECT_FALSE(tap.installed());
    EXPECT_EQ(tap.failure(), *source.failWith);
    EXPECT_TRUE(log.contains("FN: evdev tap failed — cannot read /dev/input/event* (Permission denied)"));
}

// ------------------------------------------------------------- the listener

namespace {

struct ListenerFixture : ::testing::Test {
    VirtualMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    FakeKeyEdgeSource evdev{"evdev"};
    FakeKeyEdgeSource x11{"X11 XInput2"};
    HotkeyListener listener{loop, log, settings, evdev, &x11};
    int presses = 0, releases = 0;

    void start() { listener.start([this] { ++presses; }, [this] { ++releases; }); }
};

}  // namespace

TEST_F(ListenerFixture, UsesTheInputDevicesAndChangingTheKeyStopsTheOldWatch) {
    start();
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::tap);
    EXPECT_TRUE(x11.startedKeys.empty());
    evdev.emit(4, KeyAction::down);
    evdev.emit(4, KeyAction::up);
    loop.runPending();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(releases, 1);

    evdev.emit(1, KeyAction::down);  // queued for the old key
    EXPECT_TRUE(listener.setKey("f13"));
    EXPECT_EQ(evdev.startedKeys, (E{"fn", "f13"}));
    loop.runPending();
    EXPECT_EQ(presses, 1);
    EXPECT_FALSE(listener.setKey("hyper"));
    EXPECT_EQ(settings.getString("ParlandoHotkey"), "f13");
}

TEST_F(ListenerFixture, FallsBackToX11ForTheSameKey) {
    settings.setString("ParlandoHotkey", "rightctrl");
    evdev.failWith = "cannot read /dev/input/event* (Permission denied) — add yourself to the input group";
    start();
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::fallback);
    EXPECT_EQ(x11.startedKeys, (E{"rightctrl"}));
    EXPECT_TRUE(log.contains("FN: X11 fallback — both edges via XInput2 raw key events (rightctrl key)"));
    x11.emit(11, KeyAction::down);
    x11.emit(11, KeyAction::up);
    loop.runPending();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(releases, 1);
}

TEST_F(ListenerFixture, UnknownNameMeansFnWhichUnderX11WaitsForAnotherKey) {
    settings.setString("ParlandoHotkey", "meta");
    evdev.failWith = "no input devices in /dev/input";
    start();
    EXPECT_EQ(listener.keyName(), "fn");
    EXPECT_TRUE(log.contains("FN: unknown hotkey \"meta\" in ParlandoHotkey — using fn"));
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::none);
    EXPECT_TRUE(x11.startedKeys.empty()) << "X11 never sees fn; nothing to watch";
    EXPECT_TRUE(log.contains("FN: X11 fallback cannot see the fn key — no hotkey until another is chosen"));

    EXPECT_TRUE(listener.setKey("pause"));
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::fallback);
    EXPECT_EQ(evdev.startedKeys.back(), "pause") << "the devices are tried again first";
    x11.emit(2, KeyAction::down);
    loop.runPending();
    EXPECT_EQ(presses, 1);
}

TEST_F(ListenerFixture, BothUnavailableLeavesNoHotkeyAndSaysHowToFixIt) {
    settings.setString("ParlandoHotkey", "insert");
    evdev.failWith = "no input devices in /dev/input";
    x11.failWith = "no display (DISPLAY is not set)";
    start();
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::none);
    EXPECT_TRUE(log.contains("FN: X11 fallback also unavailable — no hotkey; join the input group: sudo usermod"));
}
