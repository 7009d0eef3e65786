#include "core/Settings.h"
#include "core/VirtualMainLoop.h"
#include "fakes/FakeHotkey.h"
#include "fakes/Fakes.h"
#include "hotkey/FNKeyTap.h"
#include "hotkey/HotkeyListener.h"

#include <gtest/gtest.h>

#include <thread>

using namespace parlando;
using parlando::testing::FakeKeyEdgeSource;
using parlando::testing::MemoryLog;

namespace {

struct TapFixture : ::testing::Test {
    VirtualMainLoop loop;
    MemoryLog log;
    FakeKeyEdgeSource source{"evdev"};
    FNKeyTap tap{loop, log, source};
    std::vector<std::string> edges;
    std::vector<bool> onMain;

    bool startTap(const std::string& key = "fn") {
        return tap.start(
            *hotkeyKey(key),
            [this] {
                edges.push_back("press");
                onMain.push_back(loop.isMainThread());
            },
            [this] {
                edges.push_back("release");
                onMain.push_back(loop.isMainThread());
            });
    }
    using E = std::vector<std::string>;
};

}  // namespace

TEST_F(TapFixture, PressAndReleaseMakeOneEdgeEachOnTheMainLoopInOrder) {
    ASSERT_TRUE(startTap());
    EXPECT_EQ(source.startedKeys, (std::vector<std::string>{"fn"}));
    EXPECT_TRUE(log.contains("FN: evdev tap installed (fn key)"));

    source.emit(1, KeyAction::down);
    EXPECT_TRUE(edges.empty()) << "edges are queued, never delivered inline";
    source.emit(1, KeyAction::up);
    loop.runPending();
    EXPECT_EQ(edges, (E{"press", "release"}));
    EXPECT_EQ(onMain, (std::vector<bool>{true, true}));
}

TEST_F(TapFixture, RepeatsAndSecondKeyboardsMakeNoExtraEdges) {
    ASSERT_TRUE(startTap());
    source.emit(1, KeyAction::down);
    source.emit(1, KeyAction::repeat);
    source.emit(1, KeyAction::repeat);
    source.emit(1, KeyAction::down);  // a second down without an up
    loop.runPending();
    EXPECT_EQ(edges, (E{"press"}));

    // Another keyboard presses and lets go while the first still holds the key.
    source.emit(2, KeyAction::down);
    source.emit(2, KeyAction::up);
    loop.runPending();
    EXPECT_EQ(edges, (E{"press"}));

    // The release comes when the last holder lets go.
    source.emit(2, KeyAction::down);
    source.emit(1, KeyAction::up);
    loop.runPending();
    EXPECT_EQ(edges, (E{"press"}));
    source.emit(2, KeyAction::up);
    source.emit(2, KeyAction::up);  // a stray second up
    loop.runPending();
    EXPECT_EQ(edges, (E{"press", "release"}));
}

TEST_F(TapFixture, RepeatWithoutAPressIsNoPress) {
    // The key was already held when we started listening.
    ASSERT_TRUE(startTap());
    source.emit(1, KeyAction::repeat);
    source.emit(1, KeyAction::up);
    loop.runPending();
    EXPECT_TRUE(edges.empty());
}

TEST_F(TapFixture, AKeyboardVanishingWhileHoldingTheKeyReleasesIt) {
    ASSERT_TRUE(startTap());
    source.emit(1, KeyAction::down);
    source.emit(1, KeyAction::deviceGone);
    loop.runPending();
    EXPECT_EQ(edges, (E{"press", "release"}));
    // And the next press is a press again, not swallowed as "already down".
    source.emit(3, KeyAction::down);
    loop.runPending();
    EXPECT_EQ(edges, (E{"press", "release", "press"}));
    // A vanishing device that held nothing changes nothing.
    source.emit(7, KeyAction::deviceGone);
    loop.runPending();
    EXPECT_EQ(edges.size(), 3u);
}

TEST_F(TapFixture, StopDropsEdgesAlreadyQueued) {
    ASSERT_TRUE(startTap());
    source.emit(1, KeyAction::down);
    tap.stop();
    EXPECT_FALSE(source.running());
    EXPECT_FALSE(tap.installed());
    loop.runPending();
    EXPECT_TRUE(edges.empty());
    EXPECT_FALSE(source.emit(1, KeyAction::up));
}

TEST_F(TapFixture, StartingAgainReplacesTheFirstTapAndResetsTheState) {
    ASSERT_TRUE(startTap());
    source.emit(1, KeyAction::down);  // queued under the first start
    ASSERT_TRUE(startTap("pause"));
    EXPECT_EQ(source.stops, 1);
    EXPECT_EQ(source.startedKeys, (std::vector<std::string>{"fn", "pause"}));
    loop.runPending();
    EXPECT_TRUE(edges.empty()) << "an edge of the replaced tap must not arrive";
    // Fresh state: a down is a press although the old state had the key down.
    source.emit(1, KeyAction::down);
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

TEST_F(TapFixture, FailedStartLogsTheReasonAndReportsNothing) {
    source.failWith = "cannot read /dev/input/event* (Permission denied) — sudo usermod -aG input $USER";
    EXPECT_FALSE(startTap());
    EXPECT_FALSE(tap.installed());
    EXPECT_EQ(tap.failure(), *source.failWith);
    EXPECT_TRUE(log.contains("FN: evdev tap failed — cannot read /dev/input/event* (Permission denied)"));
}

TEST_F(TapFixture, EdgesFromAnotherThreadArriveInOrder) {
    ASSERT_TRUE(startTap());
    std::thread reader([this] {
        for (int i = 0; i < 500; ++i) {
            source.emit(1, KeyAction::down);
            source.emit(1, KeyAction::repeat);
            source.emit(1, KeyAction::up);
        }
    });
    loop.runUntil([&] { return edges.size() >= 1000; }, seconds(3000));
    reader.join();
    loop.runPending();
    ASSERT_EQ(edges.size(), 1000u);
    for (std::size_t i = 0; i < edges.size(); ++i) EXPECT_EQ(edges[i], i % 2 == 0 ? "press" : "release") << i;
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

    void start() {
        listener.start([this] { ++presses; }, [this] { ++releases; });
    }
};

}  // namespace

TEST_F(ListenerFixture, UsesTheInputDevicesWhenTheyCanBeRead) {
    start();
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::tap);
    EXPECT_EQ(listener.keyName(), "fn");
    EXPECT_TRUE(x11.startedKeys.empty());
    evdev.emit(4, KeyAction::down);
    evdev.emit(4, KeyAction::up);
    loop.runPending();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(releases, 1);
}

TEST_F(ListenerFixture, FallsBackToX11ForTheSameKey) {
    settings.setString("ParlandoHotkey", "rightctrl");
    evdev.failWith = "cannot read /dev/input/event* (Permission denied) — add yourself to the input group";
    start();
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::fallback);
    EXPECT_EQ(x11.startedKeys, (std::vector<std::string>{"rightctrl"}));
    EXPECT_TRUE(log.contains("FN: evdev tap failed — cannot read"));
    EXPECT_TRUE(log.contains("FN: X11 fallback — both edges via XInput2 raw key events (rightctrl key)"));
    x11.emit(11, KeyAction::down);
    x11.emit(11, KeyAction::down);
    x11.emit(11, KeyAction::up);
    loop.runPending();
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(releases, 1);
}

TEST_F(ListenerFixture, FnUnderX11WaitsForAnotherKeyWhichThenWorksAtOnce) {
    evdev.failWith = "no input devices in /dev/input";
    start();
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::none);
    EXPECT_TRUE(x11.startedKeys.empty()) << "X11 never sees fn; nothing to watch";
    EXPECT_TRUE(log.contains("FN: X11 fallback cannot see the fn key — no hotkey until another is chosen"));

    EXPECT_TRUE(listener.setKey("pause"));
    EXPECT_EQ(settings.getString("ParlandoHotkey"), "pause");
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::fallback);
    EXPECT_EQ(evdev.startedKeys.back(), "pause") << "the devices are tried again first";
    x11.emit(2, KeyAction::down);
    loop.runPending();
    EXPECT_EQ(presses, 1);
}

TEST_F(ListenerFixture, ChangingTheKeyStopsTheOldWatch) {
    start();
    ASSERT_TRUE(evdev.running());
    evdev.emit(1, KeyAction::down);  // queued for the old key
    EXPECT_TRUE(listener.setKey("f13"));
    EXPECT_EQ(evdev.startedKeys, (std::vector<std::string>{"fn", "f13"}));
    loop.runPending();
    EXPECT_EQ(presses, 0);
    EXPECT_FALSE(listener.setKey("hyper"));
    EXPECT_EQ(listener.keyName(), "f13");
    EXPECT_EQ(settings.getString("ParlandoHotkey"), "f13");
}

TEST_F(ListenerFixture, UnknownConfiguredNameMeansFn) {
    settings.setString("ParlandoHotkey", "meta");
    start();
    EXPECT_EQ(listener.keyName(), "fn");
    EXPECT_TRUE(log.contains("FN: unknown hotkey \"meta\" in ParlandoHotkey — using fn"));
}

TEST_F(ListenerFixture, BothUnavailableLeavesNoHotkeyAndSaysHowToFixIt) {
    settings.setString("ParlandoHotkey", "insert");
    evdev.failWith = "no input devices in /dev/input";
    x11.failWith = "no display (DISPLAY is not set)";
    start();
    EXPECT_EQ(listener.mode(), HotkeyListener::Mode::none);
    EXPECT_TRUE(log.contains("FN: X11 XInput2 tap failed — no display (DISPLAY is not set)"));
    EXPECT_TRUE(log.contains("FN: X11 fallback also unavailable"));
    EXPECT_TRUE(log.contains("sudo usermod -aG input $USER"));
}
