#include "core/Settings.h"
#include "core/VirtualMainLoop.h"
#include "dictation/PasteDelivery.h"
#include "fakes/FakePaste.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

using namespace parlando;
using parlando::testing::FakeClipboard;
using parlando::testing::FakePasteKeys;
using parlando::testing::MemoryLog;

TEST(PasteShortcutChoice, ByFocusedWindowClass) {
    using S = PasteShortcut;
    const std::vector<std::pair<std::optional<WindowClass>, S>> cases = {
        {WindowClass{"gnome-terminal-server", "Gnome-terminal"}, S::ctrlShiftV},
        {WindowClass{"konsole", "konsole"}, S::ctrlShiftV},
        {WindowClass{"Alacritty", "Alacritty"}, S::ctrlShiftV},
        {WindowClass{"xfce4-terminal", "Xfce4-terminal"}, S::ctrlShiftV},
        {WindowClass{"org.wezfurlong.wezterm", "org.wezfurlong.wezterm"}, S::ctrlShiftV},
        {WindowClass{"main", "kitty"}, S::ctrlShiftV},  // only the class names the terminal
        // xterm and rxvt paste the primary selection with Shift+Insert.
        {WindowClass{"xterm", "XTerm"}, S::shiftInsert},
        {WindowClass{"urxvt", "URxvt"}, S::shiftInsert},
        {WindowClass{"Navigator", "firefox"}, S::ctrlV},
        {WindowClass{"stterm-notes", "Stickies"}, S::ctrlV},  // merely containing a terminal's name
        {WindowClass{"", ""}, S::ctrlV},
        {std::nullopt, S::ctrlV},
    };
    for (const auto& [window, expected] : cases) {
        const std::string label = window ? window->instance + "/" + window->className : "(none)";
        EXPECT_EQ(pasteShortcutFor(window), expected) << label;
        if (window) {
            EXPECT_EQ(isTerminalWindow(*window), expected != S::ctrlV) << label;
        }
    }
}

namespace {

struct PasteFixture : ::testing::Test {
    VirtualMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    FakeClipboard clipboard{loop};
    FakePasteKeys keys{loop};
    std::optional<PasteDelivery> paste{std::in_place, loop, log, settings, clipboard, keys};
};

}  // namespace

TEST_F(PasteFixture, SettingOverridesTheWindowAndUnknownValuesMeanAuto) {
    const WindowClass terminal{"kitty", "kitty"};
    const WindowClass editor{"gedit", "Gedit"};
    EXPECT_EQ(paste->chooseShortcut(terminal), PasteShortcut::ctrlShiftV);
    settings.setString("ParlandoPasteShortcut", "auto");
    EXPECT_EQ(paste->chooseShortcut(editor), PasteShortcut::ctrlV);
    settings.setString("ParlandoPasteShortcut", "ctrl+v");
    EXPECT_EQ(paste->chooseShortcut(terminal), PasteShortcut::ctrlV);
    settings.setString("ParlandoPasteShortcut", "Shift+Insert");
    EXPECT_EQ(paste->chooseShortcut(std::nullopt), PasteShortcut::shiftInsert);
    EXPECT_TRUE(log.lines().empty());

    settings.setString("ParlandoPasteShortcut", "cmd+v");
    EXPECT_EQ(paste->chooseShortcut(terminal), PasteShortcut::ctrlShiftV);
    EXPECT_TRUE(log.contains("paste: unknown ParlandoPasteShortcut \"cmd+v\" — using auto"));
    for (auto s : {PasteShortcut::ctrlV, PasteShortcut::ctrlShiftV, PasteShortcut::shiftInsert})
        EXPECT_EQ(parsePasteShortcut(pasteShortcutName(s)), s);
}

TEST_F(PasteFixture, ClipboardAtOnceThenTheShortcutFiftyMillisecondsLater) {
    loop.advanceBy(seconds(1));
    keys.focused = WindowClass{"gedit", "Gedit"};
    paste->paste("привет мир");
    ASSERT_EQ(clipboard.writes.size(), 1u);
    EXPECT_EQ(clipboard.writes[0].at, seconds(1));
    EXPECT_EQ(clipboard.text, "привет мир");
    EXPECT_FALSE(clipboard.primary) << "the primary selection is left alone for Ctrl+V";

    loop.advanceBy(millis(49));
    EXPECT_TRUE(keys.sent.empty());
    loop.advanceBy(millis(1));
    ASSERT_EQ(keys.sent.size(), 1u);
    EXPECT_EQ(keys.sent[0].shortcut, PasteShortcut::ctrlV);
    loop.advanceBy(seconds(5));
    EXPECT_EQ(keys.sent.size(), 1u);
    EXPECT_TRUE(log.lines().empty()) << "a successful paste is silent";
}

TEST_F(PasteFixture, FocusIsReadWhenTheShortcutGoesOutAndEachPasteSendsItsOwn) {
    keys.focused = WindowClass{"gedit", "Gedit"};
    paste->paste("one");
    loop.advanceBy(millis(20));
    keys.focused = WindowClass{"xterm", "XTerm"};
    paste->paste("ls -la");
    loop.advanceBy(millis(100));
    ASSERT_EQ(keys.sent.size(), 2u);
    EXPECT_EQ(keys.sent[0].at, millis(50));
    EXPECT_EQ(keys.sent[1].at, millis(70));
    EXPECT_EQ(keys.sent[0].shortcut, PasteShortcut::shiftInsert);
    EXPECT_EQ(clipboard.text, "ls -la");
    EXPECT_EQ(clipboard.primary, "ls -la") << "Shift+Insert in xterm pastes the primary selection";
}

TEST(PasteFailures, TheTextStaysOnTheClipboardAndOneLineSaysWhy) {
    struct Case {
        std::function<void(FakeClipboard&, FakePasteKeys&, PasteDelivery&)> arrange;
        std::string line;
    };
    const std::vector<Case> cases = {
        {[](FakeClipboard&, FakePasteKeys& k, PasteDelivery&) { k.unavailableReason = "no X display"; },
         "paste: shortcut not sent — no X display; the text is on the clipboard"},
        {[](FakeClipboard&, FakePasteKeys& k, PasteDelivery&) { k.failWith = "the keymap has no v key"; },
         "paste: shortcut not sent — the keymap has no v key; the text is on the clipboard"},
        // Without a clipboard a shortcut would paste something stale.
        {[](FakeClipboard& c, FakePasteKeys&, PasteDelivery&) { c.available = false; }, "paste: no clipboard"},
        // A write refused behind our back, or a clipboard taken over: Ctrl+V would paste someone else's text.
        {[](FakeClipboard& c, FakePasteKeys&, PasteDelivery&) { c.owned = false; },
         "paste: shortcut not sent — the clipboard does not hold the dictated text"},
        {[](FakeClipboard&, FakePasteKeys&, PasteDelivery& p) {
             p.setShortcutGate([] { return std::optional<std::string>("the session is locked or not in front"); });
         },
         "paste: shortcut not sent — the session is locked or not in front; the text is on the clipboard"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.line);
        VirtualMainLoop loop;
        MemoryLog log;
        MemorySettings settings;
        FakeClipboard clipboard(loop);
        FakePasteKeys keys(loop);
        PasteDelivery paste(loop, log, settings, clipboard, keys);
        tc.arrange(clipboard, keys, paste);
        paste.paste("текст");
        loop.advanceBy(seconds(1));
        EXPECT_TRUE(keys.sent.empty());
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind(tc.line, 0), 0u) << log.lines()[0];
    }
}

TEST_F(PasteFixture, APendingShortcutDiesWithTheDelivery) {
    paste->paste("x");
    paste.reset();
    loop.advanceBy(seconds(1));
    EXPECT_TRUE(keys.sent.empty());
}
