// Paste into a real text field of another process under Xvfb: our clipboard
// (served by our event loop) plus an XTest shortcut.
#include "core/Settings.h"
#include "core/adapters/QtMainLoop.h"
#include "dictation/PasteDelivery.h"
#include "dictation/adapters/QtClipboard.h"
#include "dictation/adapters/X11PasteKeys.h"
#include "fakes/Fakes.h"
#include "testenv/FakeDBusServices.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <array>

// After gtest and Qt: Xlib's macros (None, Bool, ...) would break their headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace parlando;
using namespace parlando::testenv;
using parlando::testing::pumpUntil;
namespace fs = std::filesystem;

// Ctrl+V into an editor, with modifiers the user still holds (part of a
// hotkey chord) let go first; terminals get their own shortcut.
TEST(PasteX11, TextArrivesInAnotherProcessThroughTheShortcutItsWindowTakes) {
    if (!haveProgram("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    TempDir dir("parlando-paste");
    XServer x(dir.path(), XServer::Options{.trayHost = false});
    const std::map<std::string, std::string> env = {
        {"DISPLAY", x.display()}, {"QT_QPA_PLATFORM", "xcb"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}};
    applyToProcess(env);
    int argc = 1;
    char arg0[] = "integration_dictation";
    char* argv[] = {arg0, nullptr};
    QApplication app(argc, argv);  // gone before the X server
    const std::unique_ptr<Display, decltype(&XCloseDisplay)> typist(XOpenDisplay(x.display().c_str()), XCloseDisplay);
    ASSERT_NE(typist, nullptr);
    QtMainLoop loop;
    parlando::testing::MemoryLog log;
    MemorySettings settings;
    QtClipboard clipboard;
    X11PasteKeys keys;
    PasteDelivery paste(loop, log, settings, clipboard, keys);
    Process target;
    fs::path prefix;
    auto startTarget = [&](const std::string& wmClass, const std::string& mode) {
        target.stop();
        prefix = dir.path() / (wmClass + "-" + mode);
        target = Process::spawn({std::string(PARLANDO_BINARY_DIR) + "/tools/paste-target/paste-target", "--out",
                                 prefix.string(), "--class", wmClass, "--mode", mode},
                                env, std::nullopt, prefix.string() + ".log");
        return pumpUntil([&] { return fs::exists(prefix.string() + ".ready"); }, 30000);
    };
    auto text = [&] { return readFile(prefix.string() + ".text"); };
    auto keysSeen = [&] { return readFile(prefix.string() + ".keys"); };  // one shortcut a line
    auto pasted = [&](const std::string& expected) { return pumpUntil([&] { return text() == expected; }, 20000); };
    auto isDown = [&](KeySym s) {
        char down[32];
        XQueryKeymap(typist.get(), down);
        const int c = XKeysymToKeycode(typist.get(), s);
        return ((down[c / 8] >> (c % 8)) & 1) != 0;
    };

    ASSERT_TRUE(startTarget("gedit", "editor")) << "paste-target never got the focus; see " << prefix << ".log";
    for (KeySym held : {XK_Alt_L, XK_Super_L})
        XTestFakeKeyEvent(typist.get(), XKeysymToKeycode(typist.get(), held), True, CurrentTime);
    XSync(typist.get(), False);
    ASSERT_TRUE(isDown(XK_Alt_L));
    const std::string dictated = "Привет, мир — dictated text 42";
    paste.paste(dictated);
    ASSERT_TRUE(pasted(dictated)) << "field holds: " << text();
    EXPECT_FALSE(isDown(XK_Alt_L) || isDown(XK_Super_L));
    EXPECT_TRUE(keysSeen().ends_with("\nctrl+v\n")) << "a plain Ctrl+V last: " << keysSeen();
    EXPECT_TRUE(log.lines().empty());

    for (const auto& [wmClass, mode, dictatedHere, expectedKeys] : std::vector<std::array<std::string, 4>>{
             {"kitty", "terminal", "git status", "ctrl+shift+v"},
             {"xterm", "xterm", "make -j2", "shift+insert"}}) {  // the primary selection
        ASSERT_TRUE(startTarget(wmClass, mode)) << "see " << prefix << ".log";
        paste.paste(dictatedHere);
        ASSERT_TRUE(pasted(dictatedHere)) << wmClass << " field holds: " << text();
        EXPECT_NE(keysSeen().find(expectedKeys), std::string::npos) << keysSeen();
        EXPECT_EQ(keysSeen().find("ctrl+v"), std::string::npos) << "Ctrl+V alone must not reach a terminal";
    }
    target.stop();
}
