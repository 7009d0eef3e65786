#include "core/Settings.h"
#include "core/VirtualMainLoop.h"
#include "dictation/PasteDelivery.h"
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
    for (const auto& [window, expected] : std::vector<std::pair<std::optional<WindowClass>, S>>{
             {WindowClass{"gnome-terminal-server", "Gnome-terminal"}, S::ctrlShiftV},
             {WindowClass{"org.wezfurlong.wezterm", "org.wezfurlong.wezterm"}, S::ctrlShiftV},
             {WindowClass{"main", "kitty"}, S::ctrlShiftV},  // only the class names the terminal
             {WindowClass{"urxvt", "URxvt"}, S::shiftInsert},  // pastes the primary selection
             {WindowClass{"stterm-notes", "Stickies"}, S::ctrlV},  // merely containing a terminal's name
             {std::nullopt, S::ctrlV}})
        EXPECT_EQ(pasteShortcutFor(window), expected) << (window ? window->className : "(none)");
    const WindowClass terminal{"kitty", "kitty"};
    settings.setString("ParlandoPasteShortcut", "ctrl+v");
    EXPECT_EQ(paste->chooseShortcut(terminal), S::ctrlV);
    settings.setString("ParlandoPasteShortcut", "Shift+Insert");
    EXPECT_EQ(paste->chooseShortcut(std::nullopt), S::shiftInsert);
    EXPECT_TRUE(log.lines().empty());
    settings.setString("ParlandoPasteShortcut", "cmd+v");
    EXPECT_EQ(paste->chooseShortcut(terminal), S::ctrlShiftV);
}

// The clipboard at once, the shortcut 50 ms later for the window focused then;
// each paste sends its own; a pending one dies with the delivery.
TEST_F(Paste, ClipboardAtOnceShortcutFiftyMillisecondsLater) {
    keys.focused = WindowClass{"gedit", "Gedit"};
    paste->paste("one");
    EXPECT_EQ(clipboard.text, "one");
    EXPECT_FALSE(clipboard.primary) << "the primary selection is left alone for Ctrl+V";
    loop.advanceBy(millis(20));
    keys.focused = WindowClass{"xterm", "XTerm"};
    paste->paste("ls -la");
    loop.advanceBy(millis(29));
    EXPECT_TRUE(keys.sent.empty());
    loop.advanceBy(millis(100));
    ASSERT_EQ(keys.sent.size(), 2u);
    EXPECT_EQ(keys.sent[0].at, millis(50));
    EXPECT_EQ(keys.sent[1].at, millis(70));
    EXPECT_EQ(keys.sent[0].shortcut, S::shiftInsert);
    EXPECT_EQ(clipboard.primary, "ls -la") << "Shift+Insert in xterm pastes the primary selection";
    EXPECT_TRUE(log.lines().empty()) << "a successful paste is silent";
    paste->paste("x");
    paste.reset();
    loop.advanceBy(seconds(1));
    EXPECT_EQ(keys.sent.size(), 2u);
}

TEST(PasteFailures, TheTextStaysOnTheClipboardAndOneLineSaysWhy) {
    const std::vector<std::pair<std::function<void(Rig&)>, std::string>> cases = {
        {[](Rig& r) { r.keys.unavailableReason = "no X display"; },
         "paste: shortcut not sent — no X display; the text is on the clipboard"},
        {[](Rig& r) { r.keys.failWith = "the keymap has no v key"; },
         "paste: shortcut not sent — the keymap has no v key; the text is on the clipboard"},
        // Without a clipboard a shortcut would paste something stale.
        {[](Rig& r) { r.clipboard.available = false; }, "paste: no clipboard"},
        // A write refused behind our back, or a clipboard taken over: Ctrl+V would paste someone else's text.
        {[](Rig& r) { r.clipboard.owned = false; },
         "paste: shortcut not sent — the clipboard does not hold the dictated text"},
        {[](Rig& r) { r.paste->setShortcutGate([] { return "the session is locked or not in front"; }); },
         "paste: shortcut not sent — the session is locked or not in front; the text is on the clipboard"},
    };
    for (const auto& [arrange, line] : cases) {
        Rig r;
        arrange(r);
        r.paste->paste("текст");
        r.loop.advanceBy(seconds(1));
        EXPECT_TRUE(r.keys.sent.empty()) << line;
        ASSERT_EQ(r.log.lines().size(), 1u) << line;
        EXPECT_EQ(r.log.lines()[0].rfind(line, 0), 0u) << r.log.lines()[0];
    }
}
