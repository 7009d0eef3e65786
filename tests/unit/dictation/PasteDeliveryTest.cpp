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
    struct Case {
        std::optional<WindowClass> window;
        PasteShortcut expected;
    };
    const std::vector<Case> cases = {
        {WindowClass{"gnome-terminal-server", "Gnome-terminal"}, PasteShortcut::ctrlShiftV},
        {WindowClass{"konsole", "konsole"}, PasteShortcut::ctrlShiftV},
        {WindowClass{"Alacritty", "Alacritty"}, PasteShortcut::ctrlShiftV},
        {WindowClass{"kitty", "kitty"}, PasteShortcut::ctrlShiftV},
        {WindowClass{"xfce4-terminal", "Xfce4-terminal"}, PasteShortcut::ctrlShiftV},
        {WindowClass{"org.wezfurlong.wezterm", "org.wezfurlong.wezterm"}, PasteShortcut::ctrlShiftV},
        // Only the class names the terminal.
        {WindowClass{"main", "kitty"}, PasteShortcut::ctrlShiftV},
        // xterm and rxvt paste the primary selection with Shift+Insert.
        {WindowClass{"xterm", "XTerm"}, PasteShortcut::shiftInsert},
        {WindowClass{"urxvt", "URxvt"}, PasteShortcut::shiftInsert},
        {WindowClass{"Navigator", "firefox"}, PasteShortcut::ctrlV},
        {WindowClass{"gedit", "Gedit"}, PasteShortcut::ctrlV},
        // Names merely containing a terminal's name are not terminals.
        {WindowClass{"stterm-notes", "Stickies"}, PasteShortcut::ctrlV},
        {WindowClass{"", ""}, PasteShortcut::ctrlV},
        {std::nullopt, PasteShortcut::ctrlV},
    };
    for (const auto& c : cases) {
        const std::string label = c.window ? c.window->instance + "/" + c.window->className : "(none)";
        EXPECT_EQ(pasteShortcutFor(c.window), c.expected) << label;
        if (c.window) {
            EXPECT_EQ(isTerminalWindow(*c.window), c.expected != PasteShortcut::ctrlV) << label;
        }
    }
}

TEST(PasteShortcutChoice, SettingOverridesAndUnknownValuesMeanAuto) {
    VirtualMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    FakeClipboard clipboard(loop);
    FakePasteKeys keys(loop);
    PasteDelivery paste(loop, log, settings, clipboard, keys);
    const WindowClass terminal{"kitty", "kitty"};
    const WindowClass editor{"gedit", "Gedit"};

    EXPECT_EQ(paste.chooseShortcut(terminal), PasteShortcut::ctrlShiftV);
    settings.setString("ParlandoPasteShortcut", "auto");
    EXPECT_EQ(paste.chooseShortcut(editor), PasteShortcut::ctrlV);
    settings.setString("ParlandoPasteShortcut", "ctrl+v");
    EXPECT_EQ(paste.chooseShortcut(terminal), PasteShortcut::ctrlV);
    settings.setString("ParlandoPasteShortcut", "ctrl+shift+v");
    EXPECT_EQ(paste.chooseShortcut(editor), PasteShortcut::ctrlShiftV);
    settings.setString("ParlandoPasteShortcut", "Shift+Insert");
    EXPECT_EQ(paste.chooseShortcut(std::nullopt), PasteShortcut::shiftInsert);
    EXPECT_TRUE(log.lines().empty());

    settings.setString("ParlandoPasteShortcut", "cmd+v");
    EXPECT_EQ(paste.chooseShortcut(terminal), PasteShortcut::ctrlShiftV);
    EXPECT_TRUE(log.contains("paste: unknown ParlandoPasteShortcut \"cmd+v\" — using auto"));

    for (auto s : {PasteShortcut::ctrlV, PasteShortcut::ctrlShiftV, PasteShortcut::shiftInsert}) {
        EXPECT_EQ(parsePasteShortcut(pasteShortcutName(s)), s);
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

TEST_F(PasteFixture, ClipboardAtOnceThenTheShortcutFiftyMillisecondsLater) {
    clipboard.text = "what was there before";
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
    EXPECT_EQ(keys.sent[0].at, seconds(1) + millis(50));
    EXPECT_EQ(keys.sent[0].shortcut, PasteShortcut::ctrlV);
    loop.advanceBy(seconds(5));
    EXPECT_EQ(keys.sent.size(), 1u);
    EXPECT_TRUE(log.lines().empty()) << "a successful paste is silent";
}

TEST_F(PasteFixture, FocusIsReadWhenTheShortcutGoesOut) {
    keys.focused = WindowClass{"gedit", "Gedit"};
    paste->paste("ls -la");
    keys.focused = WindowClass{"xterm", "XTerm"};
    loop.advanceBy(millis(50));
    ASSERT_EQ(keys.sent.size(), 1u);
    EXPECT_EQ(keys.sent[0].shortcut, PasteShortcut::shiftInsert);
    EXPECT_EQ(clipboard.primary, "ls -la") << "Shift+Insert in xterm pastes the primary selection";
}

TEST_F(PasteFixture, QuickSuccessivePastesEachSendTheirShortcut) {
    paste->paste("one");
    loop.advanceBy(millis(20));
    paste->paste("two");
    loop.advanceBy(millis(100));
    ASSERT_EQ(keys.sent.size(), 2u);
    EXPECT_EQ(keys.sent[0].at, millis(50));
    EXPECT_EQ(keys.sent[1].at, millis(70));
    EXPECT_EQ(clipboard.text, "two");
}

TEST_F(PasteFixture, WithoutADisplayTheTextStaysOnTheClipboardAndOneLineSaysWhy) {
    keys.unavailableReason = "no X display (Wayland session without XWayland)";
    paste->paste("текст");
    loop.advanceBy(seconds(1));
    EXPECT_EQ(clipboard.text, "текст");
    EXPECT_TRUE(keys.sent.empty());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0],
              "paste: shortcut not sent — no X display (Wayland session without XWayland); the text is on the "
              "clipboard");
}

TEST_F(PasteFixture, NoClipboardMeansNoShortcut) {
    clipboard.available = false;
    paste->paste("x");
    loop.advanceBy(seconds(1));
    EXPECT_TRUE(keys.sent.empty()) << "a shortcut would paste something stale";
    EXPECT_TRUE(log.contains("paste: no clipboard"));
}

TEST_F(PasteFixture, RefusedSyntheticInputIsLogged) {
    keys.failWith = "the keymap has no v key";
    paste->paste("x");
    loop.advanceBy(seconds(1));
    EXPECT_TRUE(log.contains("paste: shortcut not sent — the keymap has no v key; the text is on the clipboard"));
}

TEST_F(PasteFixture, APendingShortcutDiesWithTheDelivery) {
    paste->paste("x");
    paste.reset();
    loop.advanceBy(seconds(1));
    EXPECT_TRUE(keys.sent.empty());
}
