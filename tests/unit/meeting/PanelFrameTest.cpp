#include "meeting/PanelFrame.h"

#include <gtest/gtest.h>

using namespace parlando;

TEST(PanelFrame, TextFormRoundTripsAndBadTextGivesNothing) {
    EXPECT_EQ(PanelFrame::format({100, 200, 420, 302}), "{{100, 200}, {420, 302}}");
    EXPECT_EQ(PanelFrame::parse("{{100, 200}, {420, 302}}"), (PanelRect{100, 200, 420, 302}));
    EXPECT_EQ(PanelFrame::parse(" {{-10.6,5},{300.4, 200}} "), (PanelRect{-11, 5, 300, 200}));
    EXPECT_EQ(PanelFrame::parse("{{0, 0}, {10, 10}}"), (PanelRect{0, 0, 280, 160})) << "never below the minimum";
    for (const char* bad : {"", "garbage", "{{1, 2}, {3}}", "{{1, 2}, {0, 300}}", "{{1, 2}, {300, 200}} x", "{{1e99, 2}, {300, 200}}"})
        EXPECT_EQ(PanelFrame::parse(bad), std::nullopt) << bad;
}

TEST(PanelFrame, BottomLeftOriginOfThePrimaryScreenMapsToDesktopCoordinates) {
    const PanelRect primary{1280, 0, 1920, 1080};  // the primary screen right of another one
    const PanelRect saved{100, 200, 420, 302};
    const PanelRect desktop = PanelFrame::toDesktop(saved, primary);
    EXPECT_EQ(desktop, (PanelRect{1380, 1080 - 200 - 302, 420, 302}));
    EXPECT_EQ(PanelFrame::fromDesktop(desktop, primary), saved);
}

TEST(PanelFrame, AFrameOffEveryScreenMovesOntoTheNearestOne) {
    const std::vector<PanelRect> screens{{0, 0, 1280, 800}, {1280, 0, 1920, 1080}};
    struct Case { PanelRect frame, expected; };
    for (const auto& [frame, expected] : std::vector<Case>{
             {{100, 100, 420, 300}, {100, 100, 420, 300}},          // on screen: untouched
             {{1260, 700, 420, 300}, {1260, 700, 420, 300}},        // across two screens
             {{3500, 500, 420, 300}, {2780, 500, 420, 300}},        // right of the right screen
             {{-2000, -900, 420, 300}, {0, 0, 420, 300}},           // a screen that was left of both
             {{100, 790, 420, 300}, {100, 500, 420, 300}},          // only 10 px showing
             {{5000, 0, 4000, 3000}, {1280, 0, 1920, 1080}}}) {     // larger than any screen
        EXPECT_EQ(PanelFrame::keepOnScreen(frame, screens), expected);
    }
    EXPECT_EQ(PanelFrame::keepOnScreen({9000, 9000, 300, 200}, {}), (PanelRect{9000, 9000, 300, 200}));
}
