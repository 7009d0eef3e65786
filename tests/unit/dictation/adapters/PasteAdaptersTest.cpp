// The paste adapters without any display: they say why and never crash.
#include "core/adapters/X11Connection.h"
#include "dictation/adapters/QtClipboard.h"
#include "dictation/adapters/X11PasteKeys.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace parlando;

TEST(PasteAdapters, WithoutAReachableXDisplayNoShortcutIsSentAndTheReasonIsSaid) {
    const char* display = std::getenv("DISPLAY");
    const std::optional<std::string> savedDisplay = display ? std::optional<std::string>(display) : std::nullopt;
    ::unsetenv("DISPLAY");
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    {
        X11PasteKeys keys;
        EXPECT_EQ(keys.unavailable(), "no X display (Wayland session without XWayland)");
        EXPECT_FALSE(keys.focusedWindowClass());
        std::string why;
        EXPECT_FALSE(keys.send(PasteShortcut::ctrlV, why));
        EXPECT_EQ(why, "no X display (Wayland session without XWayland)");
    }
    ::unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(X11Connection::whyNoDisplay(), "no display (DISPLAY is not set)");
    EXPECT_EQ(X11PasteKeys(":4711").unavailable(), "cannot open X display :4711");
    if (savedDisplay) ::setenv("DISPLAY", savedDisplay->c_str(), 1);
}

TEST(PasteAdapters, QtClipboardWithoutAGuiApplicationIsNoClipboard) {
    QtClipboard clipboard;
    EXPECT_FALSE(clipboard.setText("x"));
    EXPECT_FALSE(clipboard.setPrimarySelection("x"));
}
