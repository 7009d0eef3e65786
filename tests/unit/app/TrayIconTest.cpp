// The animator that fades the tray icon between idle and recording.
#include "AppRig.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace parlando;
using namespace parlando::testing;

namespace {
const Duration frame = seconds(1.0 / 30.0);

bool hasDot(const IconImage& img) {
    return std::any_of(img.ops.begin(), img.ops.end(),
                       [](const IconOp& op) { return op.w == 5.0 && op.color == TrayIcon::green; });
}

struct Recording : AppRig {
    explicit Recording(bool signal = true) {
        c->trayState.hasMicSignal = signal;
        c->trayState.fnDictating = true;
    }
};
}  // namespace

TEST(TrayAnimator, FadeTakesElevenStepsAStallPulsesAReversalDoesNotJumpAndTheTimerDiesWithTheController) {
    Recording rig;
    const int before = rig.button.imageSets;
    rig.c->renderUI();  // draws once, then the first step runs at once
    rig.loop.advanceBy(frame * 4);
    EXPECT_NEAR(rig.c->iconBlend, 5.0 / 10.5, 1e-9);
    EXPECT_FALSE(hasDot(rig.button.image));
    rig.loop.advanceBy(frame);
    EXPECT_TRUE(hasDot(rig.button.image)) << "the dot from the sixth step";
    rig.advance(1);
    EXPECT_EQ(rig.c->iconBlend, 1.0);
    EXPECT_FALSE(rig.c->iconAnimatorRunning());
    EXPECT_EQ(rig.button.image.ops[1].color, TrayIcon::red);
    EXPECT_EQ(rig.button.imageSets - before, 1 + 11) << "no redraws once the fade is done";

    rig.c->sessionStalled = true;  // a stall pulses between 0.3 and 1 while recording
    rig.c->renderUI();
    double lo = 2, hi = -1;
    for (int i = 0; i < 60; ++i) {
        rig.loop.advanceBy(frame);
        lo = std::min(lo, rig.c->iconBlend);
        hi = std::max(hi, rig.c->iconBlend);
    }
    EXPECT_TRUE(lo >= 0.30 - 1e-9 && lo < 0.40 && hi > 0.90 && hi <= 1.0 + 1e-9) << lo << " to " << hi;
    rig.c->sessionStalled = false;
    rig.c->renderUI();
    rig.advance(1);
    EXPECT_EQ(rig.c->iconBlend, 1.0);
    EXPECT_FALSE(rig.c->iconAnimatorRunning());

    for (bool recording : {false, true}) {  // half-way back, then on again: one step from where it was
        rig.c->trayState.fnDictating = recording;
        rig.c->renderUI();
        rig.loop.advanceBy(frame * 4);
    }
    EXPECT_NEAR(rig.c->iconBlend, 1.0 - 1.0 / 10.5, 1e-9);
    rig.c->trayState.fnDictating = rig.c->trayState.hasMicSignal = false;
    rig.c->renderUI();
    rig.advance(1);
    EXPECT_EQ(rig.button.image, TrayIcon::idleImage());
    rig.c->trayState.fnDictating = true;
    rig.c->renderUI();
    const int sets = rig.button.imageSets;
    rig.c.reset();
    rig.advance(1);
    EXPECT_EQ(rig.button.imageSets, sets);
}

TEST(TrayAnimator, MutedShowsTheSlashWithoutRedAMeetingWithDictationIsOrangeAndIdleDoesNotPulse) {
    AppRig idle;
    idle.c->sessionStalled = true;
    idle.c->renderUI();
    EXPECT_FALSE(idle.c->iconAnimatorRunning()) << "a stall pulses only while recording";
    Recording muted;
    muted.c->trayState.muted = true;
    muted.c->renderUI();
    muted.loop.advanceBy(frame * 3);
    EXPECT_TRUE(muted.c->iconAnimatorRunning());
    for (const IconOp& op : muted.button.image.ops) EXPECT_NE(op.color, TrayIcon::red);
    EXPECT_EQ(muted.button.image.ops.back().kind, IconOp::Kind::strokeLine);

    Recording meeting(false);
    meeting.c->trayState.meetingRecording = true;
    meeting.c->trayState.systemAudioActive = true;  // lights the dot too
    meeting.c->renderUI();
    meeting.advance(1);
    EXPECT_EQ(meeting.button.image.ops[1].color, TrayIcon::orange);
    EXPECT_TRUE(hasDot(meeting.button.image));
    EXPECT_DOUBLE_EQ(TrayIcon::crossfadeImage(7.0, false, false, true, false).ops[0].color.a, 0.0) << "clamped";
}
