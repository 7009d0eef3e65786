// Paste delivery on fakes: the shortcut for the window, its timing, the
// failures that leave the text on the clipboard, and the choice of routes.
#include "core/DisplaySession.h"
#include "core/Settings.h"
#include "core/VirtualMainLoop.h"
#include "dictation/PasteDelivery.h"
#include "dictation/PasteRoutes.h"
#include "fakes/FakePaste.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;
using S = PasteShortcut;

namespace {

struct Rig {
    VirtualMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    FakeClipboard clipboard;
    FakePasteKeys keys{loop};
    std::optional<PasteDelivery> paste{std::in_place, loop, log, settings, clipboard, keys};
};
struct Paste : ::testing::Test, Rig {};

}  // namespace

TEST_F(Paste, TheShortcutFollowsTheFocusedWindowUnlessTheSettingSaysOtherwise) {
    const WindowClass kitty{"kitty", "kitty"};
    for (const auto& [setting, window, expected] : std::vector<std::tuple<const char*, std::optional<WindowClass>, S>>{
             {"auto", WindowClass{"gnome-terminal-server", "Gnome-terminal"}, S::ctrlShiftV},
             {"auto", WindowClass{"main", "kitty"}, S::ctrlShiftV},        // only the class names the terminal
             {"auto", WindowClass{"urxvt", "URxvt"}, S::shiftInsert},      // pastes the primary selection
             {"auto", WindowClass{"stterm-notes", "Stickies"}, S::ctrlV},  // merely containing a terminal's name
             {"auto", std::nullopt, S::ctrlV},
             {"ctrl+v", kitty, S::ctrlV},
             {"Shift+Insert", std::nullopt, S::shiftInsert},
             {"cmd+v", kitty, S::ctrlShiftV}}) {  // not a shortcut we can send: auto
        settings.setString("ParlandoPasteShortcut", setting);
        EXPECT_EQ(paste->chooseShortcut(window), expected) << setting << (window ? window->className : "(none)");
    }
}

// The clipboard at once, the shortcut 50 ms later for the window focused then;
// each paste sends its own; a pending one dies with the delivery.
TEST_F(Paste, ClipboardAtOnceShortcutFiftyMillisecondsLater) {
    keys.focused = WindowClass{"gedit", "Gedit"};
    paste->paste("one");
    EXPECT_TRUE(clipboard.text == "one" && !clipboard.primary) << "the primary selection is left alone for Ctrl+V";
    loop.advanceBy(millis(20));
    keys.focused = WindowClass{"xterm", "XTerm"};
    paste->paste("ls -la");
    loop.advanceBy(millis(29));
    EXPECT_TRUE(keys.sent.empty());
    loop.advanceBy(millis(100));
    EXPECT_EQ(keys.sent, (decltype(keys.sent){{millis(50), S::shiftInsert}, {millis(70), S::shiftInsert}}));
    EXPECT_EQ(clipboard.primary, "ls -la") << "Shift+Insert in xterm pastes the primary selection";
    paste->paste("x");
    paste.reset();
    loop.advanceBy(seconds(1));
    EXPECT_EQ(keys.sent.size(), 2u);
}

TEST(PasteFailures, TheTextStaysOnTheClipboardAndOneLineSaysWhy) {
    const std::string notSent = "paste: shortcut not sent — ";
    const std::vector<std::pair<std::function<void(Rig&)>, std::string>> cases = {
        {[](Rig& r) { r.keys.unavailableReason = "no X display"; }, notSent + "no X display; the text is on"},
        {[](Rig& r) { r.keys.failWith = "no v key"; }, notSent + "no v key; the text is on the clipboard"},
        // Without a clipboard a shortcut would paste something stale.
        {[](Rig& r) { r.clipboard.available = false; }, "paste: no clipboard"},
        // A write refused behind our back, or a clipboard taken over: Ctrl+V would paste someone else's text.
        {[](Rig& r) { r.clipboard.owned = false; }, notSent + "the clipboard does not hold the dictated text"},
        {[](Rig& r) { r.paste->setShortcutGate([] { return "the session is locked"; }); },
         notSent + "the session is locked; the text is on the clipboard"},
    };
    for (const auto& [arrange, line] : cases) {
        Rig r;
        arrange(r);
        r.paste->paste("текст");
        r.loop.advanceBy(seconds(1));
        const auto logged = r.log.lines();
        EXPECT_TRUE(r.keys.sent.empty() && logged.size() == 1 && logged[0].rfind(line, 0) == 0) << line;
    }
}

TEST(DisplaySessionDetection, FromTheSessionEnvironment) {
    using D = DisplaySession;
    const std::tuple<const char*, const char*, const char*, D> cases[] = {
        {":0", "", nullptr, D::x11},  // an empty variable is no Wayland
        {":0", "wayland-0", "wayland", D::waylandWithXWayland},
        {"", "wayland-1", nullptr, D::waylandOnly},
        {":1", "wayland-0", "x11", D::x11},  // a nested compositor inside an X11 session
        {nullptr, nullptr, "tty", D::none},
    };
    for (const auto& [display, wayland, type, expected] : cases)
        EXPECT_EQ(detectDisplaySession(display, wayland, type), expected) << (display ? display : "-");
}

// Each path is the first that works, chosen once; with no way to type, the
// text stays on the clipboard and the user hears why once.
TEST_F(Paste, RoutesAreTheFirstWorkingOfEachChosenOnceAndTheUserToldOnceWhenNothingTypes) {
    FakeClipboard dataControl;
    FakePasteKeys virtualKeyboard{loop};
    PasteRoutes routes{log,
                       {{"Wayland data control", &dataControl}, {"Qt (X11)", &clipboard}},
                       {{"Wayland virtual keyboard", &virtualKeyboard}, {"XTest", &keys}}};
    paste.emplace(loop, log, settings, routes.clipboard(), routes.keys());
    dataControl.available = false;
    virtualKeyboard.unavailableReason = "no virtual keyboard";
    keys.unavailableReason = "no X display";
    std::vector<std::string> told;
    paste->setOnNoShortcut([&](const std::string& why) { told.push_back(why); });
    routes.decide();
    dataControl.available = true;  // too late: decided for the run
    for (const char* text : {"первый", "второй"}) {
        paste->paste(text);
        loop.advanceBy(millis(60));
    }
    EXPECT_EQ(clipboard.text, "второй");  // chosen once: the data control that came back later is not used
    const std::string reasons = "Wayland virtual keyboard: no virtual keyboard; XTest: no X display";
    EXPECT_EQ(told, std::vector<std::string>{reasons});
    EXPECT_EQ(log.count("paste: shortcut not sent — " + reasons + "; the text is on the clipboard"), 2U);
}
