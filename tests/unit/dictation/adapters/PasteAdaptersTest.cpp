// The paste adapters without any display: they say why and never crash.
#include "core/adapters/X11Connection.h"
#include "core/VirtualMainLoop.h"
#include "dictation/adapters/QtClipboard.h"
#include "dictation/adapters/UinputPasteKeys.h"
#include "dictation/adapters/WaylandInput.h"
#include "testenv/TestEnv.h"
#include "dictation/adapters/X11PasteKeys.h"

#include "fakes/Fakes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

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

TEST(PasteAdapters, WaylandWithoutACompositorSaysWhyForBothPaths) {
    VirtualMainLoop loop;
    parlando::testing::MemoryLog log;
    WaylandInput wayland(loop, log, "parlando-no-such-wayland-display");
    EXPECT_EQ(wayland.clipboard().unavailable(), "the Wayland connection is not set up yet");
    bool ready = false;
    wayland.start([&] { ready = true; });
    for (int i = 0; i < 500 && !ready; ++i) {
        loop.runPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(ready);
    const std::string why = "cannot connect to the Wayland display parlando-no-such-wayland-display";
    EXPECT_EQ(wayland.clipboard().unavailable(), why);
    EXPECT_EQ(wayland.keys().unavailable(), why);
    EXPECT_FALSE(wayland.clipboard().setText("x"));
    std::string failure;
    EXPECT_FALSE(wayland.keys().send(PasteShortcut::ctrlV, failure));
    EXPECT_EQ(failure, why);
}

TEST(PasteAdapters, UinputSaysWhyItCannotMakeAKeyboard) {
    parlando::testenv::TempDir dir;
    const std::string notADevice = (dir.path() / "uinput").string();
    std::ofstream(notADevice) << "";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {(dir.path() / "missing").string(), "no " + (dir.path() / "missing").string() +
                                                 " (the uinput module is not loaded)"},
        {notADevice, notADevice + " is not a usable uinput device: Inappropriate ioctl for device"},
    };
    for (const auto& [path, expected] : cases) {
        UinputPasteKeys keys(path);
        EXPECT_EQ(keys.unavailable(), expected);
        std::string why;
        EXPECT_FALSE(keys.send(PasteShortcut::ctrlV, why));
        EXPECT_EQ(why, expected);
    }
}
