#include "app/TrayIcon.h"

#include <gtest/gtest.h>

using namespace parlando;

TEST(TrayIcon, IdleIsAPlainGreyThirteenPointDisc) {
    const IconImage img = TrayIcon::idleImage();
    ASSERT_EQ(img.ops.size(), 2u);  // base disc, then the (transparent) active disc
    EXPECT_EQ(img.ops[0].kind, IconOp::Kind::fillEllipse);
    EXPECT_DOUBLE_EQ(img.ops[0].x, 1.5);
    EXPECT_DOUBLE_EQ(img.ops[0].w, 13.0);
    EXPECT_EQ(img.ops[0].color, TrayIcon::grey);
    EXPECT_DOUBLE_EQ(img.ops[1].color.a, 0.0);
    EXPECT_FALSE(img.isTemplate);
}

TEST(TrayIcon, MutedShowsAnOpaqueGreyDiscAndTheSlashOnly) {
    const IconImage img = TrayIcon::crossfadeImage(1.0, true, true, false, true);
    ASSERT_EQ(img.ops.size(), 2u);
    EXPECT_EQ(img.ops[0].color, TrayIcon::grey);
    EXPECT_EQ(img.ops[1].kind, IconOp::Kind::strokeLine);
    EXPECT_DOUBLE_EQ(img.ops[1].x, 2.5);
    EXPECT_DOUBLE_EQ(img.ops[1].y2, 13.5);
    EXPECT_DOUBLE_EQ(img.ops[1].lineWidth, 2.0);
}

TEST(TrayIcon, CrossfadeAndSignalDot) {
    auto half = TrayIcon::crossfadeImage(0.5, true, false, false, false);
    ASSERT_EQ(half.ops.size(), 3u);
    EXPECT_EQ(half.ops[0].color, (Rgba{0.2, 0.8, 0.3, 0.5}));
    EXPECT_EQ(half.ops[1].color, (Rgba{1.0, 0.23, 0.19, 0.5}));
    EXPECT_DOUBLE_EQ(half.ops[2].x, 10.0);
    EXPECT_DOUBLE_EQ(half.ops[2].y, 1.0);
    EXPECT_EQ(TrayIcon::crossfadeImage(0.45, true, false, false, false).ops.size(), 2u);
    // Blend is clamped; a meeting with a dictation turns the active colour orange.
    auto over = TrayIcon::crossfadeImage(7.0, false, false, true, false);
    EXPECT_EQ(over.ops[1].color, TrayIcon::orange);
    EXPECT_DOUBLE_EQ(over.ops[0].color.a, 0.0);
}
