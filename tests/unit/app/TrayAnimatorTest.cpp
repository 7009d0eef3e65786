#include "app/StatusBarController.h"
#include "core/VirtualMainLoop.h"
#include "fakes/Fakes.h"
#include "fakes/FakeTray.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace parlando;
using namespace parlando::testing;

namespace {
const Duration frame = seconds(1.0 / 30.0);

struct Rig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeTrayButton button;
    FakeNotifier notifier;
    std::shared_ptr<StatusBarController> c =
        StatusBarController::create(AppServices{loop, settings, log, &button, &notifier, nullptr});

    bool hasDot() const {
        return std::any_of(button.image.ops.begin(), button.image.ops.end(),
                           [](const IconOp& op) { return op.w == 5.0 && op.color == TrayIcon::green; });
    }
};
}  // namespace

TEST(TrayAnimator, FadeToRecordingTakesElevenStepsDotFromTheSixthThenStops) {
    Rig rig;
    rig.c->trayState.hasMicSignal = true;
    rig.c->trayState.fnDictating = true;
    const int before = rig.button.imageSets;
    rig.c->renderUI();
    // renderUI draws once, then the animator's first step runs at once.
    EXPECT_NEAR(rig.c->iconBlend, 1.0 / 10.5, 1e-9);
    EXPECT_TRUE(rig.c->iconAnimatorRunning());
    rig.loop.advanceBy(frame * 4);  // steps 2..5
    EXPECT_NEAR(rig.c->iconBlend, 5.0 / 10.5, 1e-9);
    EXPECT_FALSE(rig.hasDot());
    rig.loop.advanceBy(frame);  // step 6
    EXPECT_NEAR(rig.c->iconBlend, 6.0 / 10.5, 1e-9);
    EXPECT_TRUE(rig.hasDot());
    rig.loop.advanceBy(frame * 5);  // steps 7..11
    EXPECT_EQ(rig.c->iconBlend, 1.0);
    EXPECT_FALSE(rig.c->iconAnimatorRunning());
    EXPECT_EQ(rig.button.imageSets - before, 1 + 11);
    EXPECT_EQ(rig.button.image.ops[1].color, TrayIcon::red);
    rig.loop.advanceBy(seconds(1));
    EXPECT_EQ(rig.button.imageSets - before, 12) << "no redraws once the fade is done";
}

TEST(TrayAnimator, StoppingHalfWayReversesWithoutAJumpAndEndsIdle) {
    Rig rig;
    rig.c->trayState.fnDictating = true;
    rig.c->renderUI();
    rig.loop.advanceBy(frame * 4);
    const double mid = rig.c->iconBlend;
    rig.c->trayState.fnDictating = false;
    rig.c->renderUI();
    // Still running: the timer stays and ticks one step down, no jump.
    rig.loop.advanceBy(frame);
    EXPECT_NEAR(rig.c->iconBlend, mid - 1.0 / 10.5, 1e-9);
    rig.loop.advanceBy(seconds(1));
    EXPECT_EQ(rig.c->iconBlend, 0.0);
    EXPECT_FALSE(rig.c->iconAnimatorRunning());
    EXPECT_EQ(rig.button.image, TrayIcon::idleImage());
}

TEST(TrayAnimator, StallPulsesBetweenPointThreeAndOneAtTwoHertzThenFadesBack) {
    Rig rig;
    rig.c->trayState.fnDictating = true;
    rig.c->renderUI();
    rig.loop.advanceBy(seconds(1));
    ASSERT_FALSE(rig.c->iconAnimatorRunning());
    rig.c->sessionStalled = true;
    rig.c->renderUI();
    EXPECT_TRUE(rig.c->iconAnimatorRunning());
    double lo = 2, hi = -1;
    for (int i = 0; i < 60; ++i) {
        rig.loop.advanceBy(frame);
        lo = std::min(lo, rig.c->iconBlend);
        hi = std::max(hi, rig.c->iconBlend);
        ASSERT_GE(rig.c->iconBlend, 0.30 - 1e-9);
        ASSERT_LE(rig.c->iconBlend, 1.00 + 1e-9);
    }
    EXPECT_LT(lo, 0.40);
    EXPECT_GT(hi, 0.90);
    rig.c->sessionStalled = false;
    rig.c->renderUI();
    rig.loop.advanceBy(seconds(1));
    EXPECT_EQ(rig.c->iconBlend, 1.0);
    EXPECT_FALSE(rig.c->iconAnimatorRunning());
}

TEST(TrayAnimator, StallWithoutRecordingDoesNotAnimate) {
    Rig rig;
    rig.c->sessionStalled = true;
    rig.c->renderUI();
    EXPECT_FALSE(rig.c->iconAnimatorRunning());
}

TEST(TrayAnimator, MutedWhileRecordingShowsTheSlashAndNoRedWhileTheAnimatorRuns) {
    Rig rig;
    rig.c->trayState.fnDictating = true;
    rig.c->trayState.muted = true;
    rig.c->trayState.hasMicSignal = true;
    rig.c->renderUI();
    rig.loop.advanceBy(frame * 3);
    EXPECT_TRUE(rig.c->iconAnimatorRunning());
    for (const IconOp& op : rig.button.image.ops) EXPECT_NE(op.color, TrayIcon::red);
    EXPECT_EQ(rig.button.image.ops.back().kind, IconOp::Kind::strokeLine);
}

TEST(TrayAnimator, MeetingWithDictationIsOrangeAndSystemAudioLightsTheDot) {
    Rig rig;
    rig.c->trayState.meetingRecording = true;
    rig.c->trayState.fnDictating = true;
    rig.c->trayState.systemAudioActive = true;
    rig.c->renderUI();
    rig.loop.advanceBy(seconds(1));
    EXPECT_EQ(rig.button.image.ops[1].color, TrayIcon::orange);
    EXPECT_TRUE(rig.hasDot());
}

TEST(TrayAnimator, TimerDiesWithTheController) {
    Rig rig;
    rig.c->trayState.fnDictating = true;
    rig.c->renderUI();
    const int sets = rig.button.imageSets;
    rig.c.reset();
    rig.loop.advanceBy(seconds(1));
    EXPECT_EQ(rig.button.imageSets, sets);
}
