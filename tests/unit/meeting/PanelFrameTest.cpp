#include "meeting/PanelFrame.h"

#include <gtest/gtest.h>

using namespace parlando;

TEST(PanelFrame, TextFormBottomLeftOriginOfThePrimaryScreenAndAFrameKeptOnScreen) {
    EXPECT_EQ(PanelFrame::format({100, 200, 420, 302}), "{{100, 200}, {420, 302}}");
    EXPECT_EQ(PanelFrame::parse(" {{-10.6,5},{300.4, 200}} "), (PanelRect{-11, 5, 300, 200}));
    EXPECT_EQ(PanelFrame::parse("{{0, 0}, {10, 10}}"), (PanelRect{0, 0, 280, 160})) << "never below the minimum";
    for (const char* bad : {"", "garbage", "{{1, 2}, {3}}", "{{1, 2}, {0, 300}}", "{{1, 2}, {300, 200}} x", "{{1e99, 2}, {3, 2}}"})
        EXPECT_EQ(PanelFrame::parse(bad), std::nullopt) << bad;
    const PanelRect primary{1280, 0, 1920, 1080};  // right of another screen
    EXPECT_EQ(PanelFrame::toDesktop({100, 200, 420, 302}, primary), (PanelRect{1380, 578, 420, 302}));
    EXPECT_EQ(PanelFrame::fromDesktop({1380, 578, 420, 302}, primary), (PanelRect{100, 200, 420, 302}));
    // A frame off every screen moves onto the nearest one.
    const std::vector<PanelRect> screens{{0, 0, 1280, 800}, primary};
    for (const auto& [frame, expected] : std::vector<std::pair<PanelRect, PanelRect>>{
             {{1260, 700, 420, 300}, {1260, 700, 420, 300}},     // across two screens: untouched
             {{3500, 500, 420, 300}, {2780, 500, 420, 300}},     // right of the right screen
             {{-2000, -900, 420, 300}, {0, 0, 420, 300}},        // a screen that was left of both
             {{100, 790, 420, 300}, {100, 500, 420, 300}},       // only 10 px showing
             {{5000, 0, 4000, 3000}, {1280, 0, 1920, 1080}}})    // larger than any screen
        EXPECT_EQ(PanelFrame::keepOnScreen(frame, screens), expected);
}
