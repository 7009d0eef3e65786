// The paste adapters without any display: they say why and never crash.
#include "core/Settings.h"
#include "core/VirtualMainLoop.h"
#include "core/adapters/X11Connection.h"
#include "dictation/PasteDelivery.h"
#include "dictation/adapters/QtClipboard.h"
#include "dictation/adapters/X11PasteKeys.h"
#include "fakes/FakePaste.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace parlando;
using parlando::testing::FakeClipboard;
using parlando::testing::MemoryLog;

namespace {

// Sets environment variables for one test and puts them back afterwards.
class EnvGuard {
public:
    void set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~EnvGuard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else ::unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST(PasteAdapters, PureWaylandSendsNoShortcutAndSaysWhyOnce) {
    EnvGuard env;
    env.set("DISPLAY", nullptr);
    env.set("WAYLAND_DISPLAY", "wayland-0");
    X11PasteKeys keys;
    ASSERT_TRUE(keys.unavailable());
    EXPECT_EQ(*keys.unavailable(), "no X display (Wayland session without XWayland)");
    EXPECT_FALSE(keys.focusedWindowClass());
    std::string why;
    EXPECT_FALSE(keys.send(PasteShortcut::ctrlV, why));
    EXPECT_EQ(why, "no X display (Wayland session without XWayland)");

    VirtualMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    FakeClipboard clipboard(loop);
    PasteDelivery paste(loop, log, settings, clipboard, keys);
    paste.paste("hello");
    loop.advanceBy(seconds(1));
    EXPECT_EQ(clipboard.text, "hello");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"paste: shortcut not sent — no X display (Wayland session without "
                                                     "XWayland); the text is on the clipboard"}));
}

TEST(PasteAdapters, NoDisplayAtAllOrAnUnreachableOne) {
    EnvGuard env;
    env.set("DISPLAY", nullptr);
    env.set("WAYLAND_DISPLAY", nullptr);
    EXPECT_EQ(X11Connection::whyNoDisplay(), "no display (DISPLAY is not set)");
    X11PasteKeys gone(":4711");
    EXPECT_EQ(gone.unavailable(), "cannot open X display :4711");
}

TEST(PasteAdapters, QtClipboardWithoutAGuiApplicationIsNoClipboard) {
    QtClipboard clipboard;
    EXPECT_FALSE(clipboard.setText("x"));
    EXPECT_FALSE(clipboard.setPrimarySelection("x"));
}
