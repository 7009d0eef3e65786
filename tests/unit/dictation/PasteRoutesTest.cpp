#include "core/DisplaySession.h"
#include "core/Settings.h"
#include "core/VirtualMainLoop.h"
#include "dictation/PasteRoutes.h"
#include "fakes/FakePaste.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

using namespace parlando;
using parlando::testing::FakeClipboard;
using parlando::testing::FakePasteKeys;
using parlando::testing::MemoryLog;

TEST(DisplaySessionDetection, FromTheSessionEnvironment) {
    using D = DisplaySession;
    const std::tuple<const char*, const char*, const char*, D> cases[] = {
        {":0", nullptr, "x11", D::x11},
        {":0", "", nullptr, D::x11},
        {":0", "wayland-0", "wayland", D::waylandWithXWayland},
        {"", "wayland-1", nullptr, D::waylandOnly},
        {":1", "wayland-0", "x11", D::x11},  // a nested compositor inside an X11 session
        {nullptr, nullptr, "tty", D::none},
    };
    for (const auto& [display, wayland, type, expected] : cases)
        EXPECT_EQ(detectDisplaySession(display, wayland, type), expected) << (display ? display : "-");
}

// Each path is the first that works, chosen once and logged with the reasons
// for the ones skipped; with no way to type, the text stays on the clipboard
// and the user hears it once.
TEST(PasteRoutes, FirstWorkingOfEachChosenOnceAndTheUserToldOnceWhenNothingTypes) {
    VirtualMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    FakeClipboard dataControl, qt;
    FakePasteKeys virtualKeyboard{loop}, xtest{loop};
    PasteRoutes routes{log,
                       {{"Wayland data control", &dataControl}, {"Qt (X11)", &qt}},
                       {{"Wayland virtual keyboard", &virtualKeyboard}, {"XTest", &xtest}}};
    PasteDelivery paste{loop, log, settings, routes.clipboard(), routes.keys()};
    dataControl.available = false;
    virtualKeyboard.unavailableReason = "no virtual keyboard";
    xtest.unavailableReason = "no X display";
    std::vector<std::string> told;
    paste.setOnNoShortcut([&](const std::string& why) { told.push_back(why); });
    routes.decide();
    dataControl.available = true;  // too late: decided for the run
    for (const char* text : {"первый", "второй"}) {
        paste.paste(text);
        loop.advanceBy(millis(60));
    }
    EXPECT_EQ(qt.text, "второй");
    const std::string reasons = "Wayland virtual keyboard: no virtual keyboard; XTest: no X display";
    EXPECT_EQ(log.lines()[0], "paste: clipboard via Qt (X11), shortcut via none (Wayland data control: no clipboard "
                              "here; " + reasons + ")");
    EXPECT_EQ(told, std::vector<std::string>{reasons});
    EXPECT_EQ(log.count("paste: shortcut not sent — " + reasons + "; the text is on the clipboard"), 2U);
}
