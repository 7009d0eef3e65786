// The paste adapters without any display, compositor or device: they say why
// and never crash; and the focused window from a compositor's IPC.
#include "core/VirtualMainLoop.h"
#include "core/adapters/X11Connection.h"
#include "dictation/adapters/QtClipboard.h"
#include "dictation/adapters/SwayFocus.h"
#include "dictation/adapters/UinputPasteKeys.h"
#include "dictation/adapters/WaylandInput.h"
#include "dictation/adapters/X11PasteKeys.h"
#include "fakes/Fakes.h"
#include "testenv/TestEnv.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

using namespace parlando;

TEST(PasteAdapters, WithoutTheirServerNoShortcutIsSentAndEachSaysWhy) {
    ::unsetenv("DISPLAY");  // no other test here needs it
    ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    VirtualMainLoop loop;
    parlando::testing::MemoryLog log;
    WaylandInput wayland(loop, log, "parlando-no-wayland");
    bool ready = false;
    wayland.start([&] { ready = true; });
    EXPECT_TRUE(loop.runUntil([&] { return ready; }, seconds(5)));
    EXPECT_FALSE(wayland.clipboard().setText("x"));
    QtClipboard qt;  // no GUI application: no clipboard
    EXPECT_FALSE(qt.setText("x") || qt.setPrimarySelection("x"));
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
        EXPECT_FALSE(keys->send(PasteShortcut::ctrlV, why));
        EXPECT_EQ(why, expected);
    }
    ::unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(X11Connection::whyNoDisplay(), "no display (DISPLAY is not set)");
    EXPECT_EQ(X11PasteKeys(":4711").unavailable(), "cannot open X display :4711");
}

// Hyprland's IPC against a stand-in on a local socket where Hyprland keeps it.
TEST(HyprlandFocus, AsksForTheActiveWindowAndGivesUpAtItsLimit) {
    testenv::TempDir dir("parlando-hypr");
    std::filesystem::create_directories(dir.path() / "hypr/abc");
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    ::setenv("HYPRLAND_INSTANCE_SIGNATURE", "abc", 1);
    sockaddr_un address{AF_UNIX, {}};
    (dir.path() / "hypr/abc/.socket.sock").string().copy(address.sun_path, sizeof address.sun_path - 1);
    const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_TRUE(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(server, 4) == 0);
    // A terminal's window; no active window; a Hyprland that never answers ("").
    for (const char* reply : {R"({"address":"0x5","class":"kitty","title":"~"})", "{}", ""}) {
        char asked[64] = {};
        std::thread peer([&] {
            const int c = ::accept(server, nullptr, nullptr);
            EXPECT_TRUE(::read(c, asked, sizeof asked - 1) > 0 && ::write(c, reply, std::string_view(reply).size()) >= 0);
            if (*reply == '\0') std::this_thread::sleep_for(std::chrono::seconds(1));
            ::close(c);
        });
        const auto started = std::chrono::steady_clock::now();
        const auto window = hyprlandFocusedWindow(hyprlandSocketPath(), 100);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(800)) << "the limit holds";
        peer.join();
        EXPECT_EQ(std::string(asked), "j/activewindow");
        EXPECT_EQ(window ? window->className : "none", std::string_view(reply).size() > 2 ? "kitty" : "none");
    }
    ::close(server);
}
