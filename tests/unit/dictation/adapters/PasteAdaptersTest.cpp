// The paste adapters without any display, compositor or device: they say why and never crash.
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

TEST(PasteAdapters, WithoutTheirServerNoShortcutIsSentAndEachSaysWhy) {
    ::unsetenv("DISPLAY");  // this binary holds no other test
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    VirtualMainLoop loop;
    parlando::testing::MemoryLog log;
    WaylandInput wayland(loop, log, "parlando-no-wayland");
    bool ready = false;
    wayland.start([&] { ready = true; });
    EXPECT_TRUE(loop.runUntil([&] { return ready; }, seconds(5)));
    QtClipboard qt;  // no GUI application: no clipboard
    EXPECT_FALSE(wayland.clipboard().setText("x") || qt.setText("x") || qt.setPrimarySelection("x"));
    X11PasteKeys x11;
    EXPECT_FALSE(x11.focusedWindowClass());
    parlando::testenv::TempDir dir;
    std::ofstream(dir.path() / "file") << "";
    UinputPasteKeys missing((dir.path() / "none").string()), file((dir.path() / "file").string());
    const std::vector<std::pair<PasteKeys*, std::string>> cases = {
        {&x11, "no X display (Wayland session without XWayland)"},
        {&wayland.keys(), "cannot connect to the Wayland display parlando-no-wayland"},
        {&missing, "no " + (dir.path() / "none").string() + " (the uinput module is not loaded)"},
        {&file, (dir.path() / "file").string() + " is not a usable uinput device: Inappropriate ioctl for device"},
    };
    for (const auto& [keys, expected] : cases) {
        std::string why;
        EXPECT_TRUE(!keys->send(PasteShortcut::ctrlV, why) && why == expected) << why;
    }
    ::unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(X11Connection::whyNoDisplay(), "no display (DISPLAY is not set)");
    EXPECT_EQ(X11PasteKeys(":4711").unavailable(), "cannot open X display :4711");
}
