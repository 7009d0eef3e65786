// The X11 fallback against a real X server (Xvfb), typed through XTest on a
// master device of the test's own (testenv/XTypist.h).
#include "core/VirtualMainLoop.h"
#include "dictation/adapters/X11PasteKeys.h"
#include "fakes/Fakes.h"
#include "hotkey/FNKeyTap.h"
#include "hotkey/adapters/X11RawKeySource.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>
// After gtest: Xlib's macros (None, Bool, ...) would break its templates.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include "testenv/XTypist.h"
#include <X11/keysym.h>

#include <chrono>
#include <thread>

using namespace parlando;
using namespace std::chrono_literals;
using parlando::testing::MemoryLog;
using parlando::testenv::TempDir;
using parlando::testenv::XServer;
using E = std::vector<std::string>;

TEST(X11Hotkey, OneEdgeEachForTheKeyEvenUnderAGrabNoneForOtherKeysOurPasteOrWhenStopped) {
    if (!testenv::haveProgram("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    TempDir dir;
    XServer x(dir.path(), XServer::Options{.trayHost = false});
    Display* typist = XOpenDisplay(x.display().c_str());
    ASSERT_NE(typist, nullptr);
    testenv::typeThroughOwnMaster(typist);
    VirtualMainLoop loop;
    MemoryLog log;
    E edges;
    auto type = [&](KeySym sym, std::vector<bool> downs = {true, false}) {
        for (bool down : downs) XTestFakeKeyEvent(typist, XKeysymToKeycode(typist, sym), down, CurrentTime);
        XSync(typist, False);
    };
    // Long enough for anything the reader might still report to arrive.
    auto edgesAfterAWhile = [&] {
        std::this_thread::sleep_for(300ms);
        loop.runPending();
        return edges;
    };
    X11RawKeySource source(log, x.display());
    FNKeyTap fn(loop, log, source);
    auto start = [&](const char* key) {
        return fn.start(
            *hotkeyKey(key), [&] { edges.push_back("press"); }, [&] { edges.push_back("release"); });
    };
    ASSERT_TRUE(start("insert")) << fn.failure();
    EXPECT_EQ(source.keycodes(), (std::set<int>{XKeysymToKeycode(typist, XK_Insert)}));

    type(XK_a);
    type(XK_Control_L);
    type(XK_Insert, {true});
    type(XK_Shift_L);  // another modifier while the hotkey is held
    type(XK_Insert, {false});
    ASSERT_TRUE(loop.runUntil([&] { return edges.size() >= 2; }, seconds(100)));
    // Shift+Insert from the paste adapter comes through the core XTest device.
    X11PasteKeys paste(x.display());
    std::string why;
    ASSERT_TRUE(paste.send(PasteShortcut::shiftInsert, why)) << why;
    EXPECT_EQ(edgesAfterAWhile(), (E{"press", "release"}));

    // Raw events arrive while another client grabs the keyboard.
    Display* grabber = XOpenDisplay(x.display().c_str());
    ASSERT_NE(grabber, nullptr);
    ASSERT_EQ(XGrabKeyboard(grabber, DefaultRootWindow(grabber), False, GrabModeAsync, GrabModeAsync, CurrentTime),
              GrabSuccess);
    XSync(grabber, False);
    type(XK_Insert);
    ASSERT_TRUE(loop.runUntil([&] { return edges.size() >= 4; }, seconds(100)));
    XCloseDisplay(grabber);

    fn.stop();
    type(XK_Insert);
    EXPECT_EQ(edgesAfterAWhile().size(), 4u) << "a stopped source reports nothing";
    ASSERT_TRUE(start("insert")) << "and it can be started again";
    type(XK_Insert);
    EXPECT_TRUE(loop.runUntil([&] { return edges.size() >= 6; }, seconds(100)));
    fn.stop();
    XCloseDisplay(typist);

    X11RawKeySource none(log, ":4711");
    EXPECT_EQ(none.start(*hotkeyKey("pause"), [](const KeyEvent&) {}), "cannot open X display :4711");
    EXPECT_EQ(none.start(*hotkeyKey("fn"), [](const KeyEvent&) {}), "X11 cannot see the fn key");
}
