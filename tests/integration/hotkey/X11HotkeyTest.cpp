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

namespace {

class X11Hotkey : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testenv::haveProgram("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
        x_ = std::make_unique<XServer>(dir_.path(), XServer::Options{.trayHost = false});
        typist_ = XOpenDisplay(x_->display().c_str());
        ASSERT_NE(typist_, nullptr);
        testenv::typeThroughOwnMaster(typist_);
    }
    void TearDown() override {
        if (typist_ != nullptr) XCloseDisplay(typist_);
    }

    int code(KeySym sym) { return XKeysymToKeycode(typist_, sym); }
    void type(int keycode, bool down) {
        XTestFakeKeyEvent(typist_, static_cast<unsigned>(keycode), down ? True : False, CurrentTime);
        XSync(typist_, False);
    }
    void tap(int keycode) {
        type(keycode, true);
        type(keycode, false);
    }
    void waitEdges(std::size_t n) { ASSERT_TRUE(loop_.runUntil([&] { return edges_.size() >= n; }, seconds(100))); }
    // Long enough for anything the reader might still report to arrive.
    void settle() {
        std::this_thread::sleep_for(300ms);
        loop_.runPending();
    }

    TempDir dir_;
    std::unique_ptr<XServer> x_;
    Display* typist_ = nullptr;
    VirtualMainLoop loop_;
    MemoryLog log_;
    std::vector<std::string> edges_;
    std::function<void()> onPress_ = [this] { edges_.push_back("press"); };
    std::function<void()> onRelease_ = [this] { edges_.push_back("release"); };
    using E = std::vector<std::string>;
};

}  // namespace

TEST_F(X11Hotkey, OneEdgeEachForTheKeyNoneForOurOwnPasteKeysAndNoneWhenStopped) {
    X11RawKeySource source(log_, x_->display());
    FNKeyTap fn(loop_, log_, source);
    ASSERT_TRUE(fn.start(*hotkeyKey("insert"), onPress_, onRelease_)) << fn.failure();
    EXPECT_EQ(source.keycodes(), (std::set<int>{code(XK_Insert)}));

    tap(code(XK_a));
    tap(code(XK_Control_L));
    type(code(XK_Insert), true);
    waitEdges(1);
    tap(code(XK_Shift_L));  // another modifier while the hotkey is held
    type(code(XK_Insert), false);
    waitEdges(2);

    // Shift+Insert from the paste adapter comes through the core XTest device.
    X11PasteKeys paste(x_->display());
    std::string why;
    ASSERT_TRUE(paste.send(PasteShortcut::shiftInsert, why)) << why;
    settle();
    EXPECT_EQ(edges_, (E{"press", "release"}));

    fn.stop();
    tap(code(XK_Insert));
    settle();
    EXPECT_EQ(edges_.size(), 2u) << "a stopped source reports nothing";
    ASSERT_TRUE(fn.start(*hotkeyKey("insert"), onPress_, onRelease_)) << "and it can be started again";
    tap(code(XK_Insert));
    waitEdges(4);
}

TEST_F(X11Hotkey, F13IsFoundByKeyCodeAndEdgesArriveWhileAnotherClientGrabsTheKeyboard) {
    X11RawKeySource source(log_, x_->display());
    FNKeyTap fn(loop_, log_, source);
    ASSERT_TRUE(fn.start(*hotkeyKey("f13"), onPress_, onRelease_)) << fn.failure();
    // The default keymap puts XF86Tools on the F13 key: the kernel code + 8.
    EXPECT_EQ(source.keycodes(), (std::set<int>{183 + 8}));

    Display* grabber = XOpenDisplay(x_->display().c_str());
    ASSERT_NE(grabber, nullptr);
    ASSERT_EQ(XGrabKeyboard(grabber, DefaultRootWindow(grabber), False, GrabModeAsync, GrabModeAsync, CurrentTime),
              GrabSuccess);
    XSync(grabber, False);
    tap(183 + 8);
    waitEdges(2);
    XCloseDisplay(grabber);
    EXPECT_EQ(edges_, (E{"press", "release"}));

    X11RawKeySource none(log_, ":4711");
    EXPECT_EQ(none.start(*hotkeyKey("pause"), [](const KeyEvent&) {}), "cannot open X display :4711");
    EXPECT_EQ(none.start(*hotkeyKey("fn"), [](const KeyEvent&) {}), "X11 cannot see the fn key");
}
