// The paste adapters without any display: they say why and never crash.
#include "core/VirtualMainLoop.h"
#include "core/adapters/X11Connection.h"
#include "dictation/adapters/QtClipboard.h"
#include "dictation/adapters/UinputPasteKeys.h"
#include "dictation/adapters/WaylandInput.h"
#include "dictation/adapters/X11PasteKeys.h"
#include "fakes/Fakes.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

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

// Wayland without a compositor and uinput without a device: every path says why.
TEST(PasteAdapters, WaylandAndUinputWithoutTheirServerSayWhy) {
    VirtualMainLoop loop;
    parlando::testing::MemoryLog log;
    WaylandInput wayland(loop, log, "parlando-no-wayland");
    bool ready = false;
    wayland.start([&] { ready = true; });
    EXPECT_TRUE(loop.runUntil([&] { return ready; }, seconds(5)));
    parlando::testenv::TempDir dir;
    std::ofstream(dir.path() / "file") << "";
    UinputPasteKeys missing((dir.path() / "none").string()), file((dir.path() / "file").string());
    const std::vector<std::pair<PasteKeys*, std::string>> cases = {
        {&wayland.keys(), "cannot connect to the Wayland display parlando-no-wayland"},
        {&missing, "no " + (dir.path() / "none").string() + " (the uinput module is not loaded)"},
        {&file, (dir.path() / "file").string() + " is not a usable uinput device: Inappropriate ioctl for device"},
    };
    for (const auto& [keys, expected] : cases) {
        std::string why;
        EXPECT_FALSE(keys->send(PasteShortcut::ctrlV, why));
        EXPECT_EQ(why, expected);
    }
    EXPECT_FALSE(wayland.clipboard().setText("x"));
}
