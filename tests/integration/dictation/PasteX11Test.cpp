// Paste into a real text field of another process under Xvfb: our clipboard
// (served by our event loop) plus an XTest shortcut.
#include "core/Settings.h"
#include "core/adapters/QtMainLoop.h"
#include "dictation/PasteDelivery.h"
#include "dictation/adapters/QtClipboard.h"
#include "dictation/adapters/X11PasteKeys.h"
#include "fakes/Fakes.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QThread>

#include <chrono>
#include <fstream>
#include <sstream>
#include <utility>

// After gtest and Qt: Xlib's macros (None, Bool, ...) would break their headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace parlando;
using namespace std::chrono_literals;
using parlando::testing::MemoryLog;
using parlando::testenv::Process;
using parlando::testenv::TempDir;
using parlando::testenv::XServer;
using parlando::testenv::readFile;
namespace fs = std::filesystem;

namespace {

// Runs our event loop (which serves the clipboard) until pred holds.
bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (pred()) return true;
        QThread::msleep(5);
    }
    return pred();
}

class PasteX11 : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testenv::haveProgram("Xvfb")) return;
        dir_ = new TempDir("parlando-paste");
        x_ = new XServer(dir_->path(), XServer::Options{.trayHost = false});
        testenv::applyToProcess(env());
        static int argc = 1;
        static char arg0[] = "integration_dictation";
        static char* argv[] = {arg0, nullptr};
        app_ = new QApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete std::exchange(app_, nullptr);
        delete std::exchange(x_, nullptr);
        delete std::exchange(dir_, nullptr);
    }
    static std::map<std::string, std::string> env() {
        return {{"DISPLAY", x_->display()}, {"QT_QPA_PLATFORM", "xcb"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}};
    }

    void SetUp() override {
        if (x_ == nullptr) GTEST_SKIP() << "Xvfb is not installed";
        typist_ = XOpenDisplay(x_->display().c_str());
        ASSERT_NE(typist_, nullptr);
        loop_ = std::make_unique<QtMainLoop>();
        keys_ = std::make_unique<X11PasteKeys>();
        paste_ = std::make_unique<PasteDelivery>(*loop_, log_, settings_, clipboard_, *keys_);
    }
    void TearDown() override {
        paste_.reset();
        target_.stop();
        if (typist_ != nullptr) XCloseDisplay(typist_);
    }

    // Starts the text field under a window class and waits until it has the focus.
    void startTarget(const std::string& wmClass, const std::string& mode) {
        prefix_ = dir_->path() / (wmClass + "-" + mode + "-" + std::to_string(++counter_));
        target_ = Process::spawn({std::string(PARLANDO_BINARY_DIR) + "/tools/paste-target/paste-target", "--out",
                                  prefix_.string(), "--class", wmClass, "--mode", mode},
                                 env(), std::nullopt, prefix_.string() + ".log");
        ASSERT_TRUE(pumpUntil([&] { return fs::exists(prefix_.string() + ".ready"); }, 30s))
            << "paste-target never got the focus; see " << prefix_ << ".log";
    }
    std::string text() const { return readFile(prefix_.string() + ".text"); }
    // The shortcuts the target saw, one a line.
    std::string keysSeen() const { return readFile(prefix_.string() + ".keys"); }
    bool pasted(const std::string& expected) {
        return pumpUntil([&] { return text() == expected; }, 20s);
    }
    int code(KeySym s) { return XKeysymToKeycode(typist_, s); }
    bool isDown(KeySym s) {
        char keys[32];
        XQueryKeymap(typist_, keys);
        const int c = code(s);
        return ((keys[c / 8] >> (c % 8)) & 1) != 0;
    }

    static inline TempDir* dir_ = nullptr;
    static inline XServer* x_ = nullptr;
    static inline QApplication* app_ = nullptr;
    static inline int counter_ = 0;
    Display* typist_ = nullptr;
    MemoryLog log_;
    MemorySettings settings_;
    QtClipboard clipboard_;
    std::unique_ptr<QtMainLoop> loop_;
    std::unique_ptr<X11PasteKeys> keys_;
    std::unique_ptr<PasteDelivery> paste_;
    Process target_;
    fs::path prefix_;
};


}  // namespace

// Our clipboard (served by our event loop) and Ctrl+V into another process;
// modifiers the user still holds (part of a hotkey chord) are let go first.
TEST_F(PasteX11, TextArrivesInAnotherProcessThroughCtrlVWithHeldModifiersReleasedFirst) {
    startTarget("gedit", "editor");
    auto focused = keys_->focusedWindowClass();
    ASSERT_TRUE(focused);
    EXPECT_EQ(focused->instance, "gedit");
    const std::string dictated = "Привет, мир — dictated text 42";
    paste_->paste(dictated);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), dictated) << "the clipboard is written at once";
    ASSERT_TRUE(pasted(dictated)) << "field holds: " << text();
    EXPECT_EQ(keysSeen(), "control\nctrl+v\n");

    XTestFakeKeyEvent(typist_, code(XK_Alt_L), True, CurrentTime);
    XTestFakeKeyEvent(typist_, code(XK_Super_L), True, CurrentTime);
    XSync(typist_, False);
    ASSERT_TRUE(isDown(XK_Alt_L));
    paste_->paste(" second");
    ASSERT_TRUE(pasted(dictated + " second")) << "field holds: " << text();
    EXPECT_FALSE(isDown(XK_Alt_L) || isDown(XK_Super_L));
    EXPECT_TRUE(keysSeen().ends_with("\nctrl+v\n")) << "a plain Ctrl+V last: " << keysSeen();
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(PasteX11, TerminalsGetTheirShortcutAndTheSettingOverridesTheWindowClass) {
    struct Case {
        std::string wmClass, mode, setting, text, expectedKeys;
    };
    for (const auto& tc : std::vector<Case>{
             {"kitty", "terminal", "auto", "git status", "ctrl+shift+v"},
             {"xterm", "xterm", "auto", "make -j2", "shift+insert"},  // pastes the primary selection
             {"kate", "terminal", "ctrl+shift+v", "override", "ctrl+shift+v"}}) {  // an editor answering only that
        settings_.setString("ParlandoPasteShortcut", tc.setting);
        target_.stop();
        startTarget(tc.wmClass, tc.mode);
        paste_->paste(tc.text);
        ASSERT_TRUE(pasted(tc.text)) << tc.wmClass << " field holds: " << text();
        EXPECT_NE(keysSeen().find(tc.expectedKeys), std::string::npos) << keysSeen();
        EXPECT_EQ(keysSeen().find("ctrl+v"), std::string::npos) << "Ctrl+V alone must not reach a terminal";
    }
}
