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

namespace {

struct RoutesFixture : ::testing::Test {
    VirtualMainLoop loop;
    MemoryLog log;
    MemorySettings settings;
    FakeClipboard dataControl{loop}, qt{loop};
    FakePasteKeys virtualKeyboard{loop}, xtest{loop};
    PasteRoutes routes{log,
                       {{"Wayland data control", &dataControl}, {"Qt (X11)", &qt}},
                       {{"Wayland virtual keyboard", &virtualKeyboard}, {"XTest", &xtest}}};
    PasteDelivery paste{loop, log, settings, routes.clipboard(), routes.keys()};
};

}  // namespace

TEST_F(RoutesFixture, ClipboardAndKeysAreEachTheFirstThatWorksChosenOnceAndLogged) {
    dataControl.available = false;
    routes.decide();
    EXPECT_EQ(routes.clipboardName(), "Qt (X11)");
    EXPECT_EQ(routes.keysName(), "Wayland virtual keyboard");
    EXPECT_TRUE(log.contains("paste: clipboard via Qt (X11), shortcut via Wayland virtual keyboard (Wayland data "
                             "control: no clipboard here)"));
    // Decided for the run: a path that starts working later is not switched to.
    dataControl.available = true;
    paste.paste("привет");
    loop.advanceBy(millis(60));
    EXPECT_EQ(qt.text, "привет");
    EXPECT_FALSE(dataControl.text);
    ASSERT_EQ(virtualKeyboard.sent.size(), 1U);
    EXPECT_TRUE(xtest.sent.empty());
    EXPECT_EQ(log.count("paste: clipboard via"), 1U);
}

TEST_F(RoutesFixture, WithNoWayToTypeTheTextStaysOnTheClipboardAndTheUserIsToldOnce) {
    virtualKeyboard.unavailableReason = "no virtual keyboard";
    xtest.unavailableReason = "no X display";
    std::vector<std::string> told;
    paste.setOnNoShortcut([&](const std::string& why) { told.push_back(why); });
    paste.paste("первый");
    loop.advanceBy(millis(60));
    paste.paste("второй");
    loop.advanceBy(millis(60));
    EXPECT_EQ(dataControl.text, "второй");
    EXPECT_EQ(routes.keysName(), "none");
    ASSERT_EQ(told.size(), 1U);
    EXPECT_EQ(told[0], "Wayland virtual keyboard: no virtual keyboard; XTest: no X display");
    EXPECT_EQ(log.count("paste: shortcut not sent — Wayland virtual keyboard: no virtual keyboard; XTest: no X "
                        "display; the text is on the clipboard"),
              2U);
}
