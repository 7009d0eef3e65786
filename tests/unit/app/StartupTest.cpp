#include "app/AppDelegate.h"
#include "app/StatusBarController.h"
#include "core/VirtualMainLoop.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace parlando;
using namespace parlando::testing;

namespace {
struct Rig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeTrayButton button;
    AppServices services() { return AppServices{loop, settings, log, &button}; }
};
}  // namespace

TEST(Startup, DelegateLogsLaunchAndOwnsTheController) {
    Rig rig;
    AppDelegate delegate(rig.log, [&] { return StatusBarController::create(rig.services()); });
    delegate.applicationWillFinishLaunching();
    EXPECT_FALSE(delegate.status);
    delegate.applicationDidFinishLaunching();
    ASSERT_TRUE(delegate.status);
    ASSERT_GE(rig.log.lines().size(), 2u);
    EXPECT_EQ(rig.log.lines()[0], "applicationWillFinishLaunching");
    EXPECT_EQ(rig.log.lines()[1], "applicationDidFinishLaunching (main-thread sync setup)");
}

TEST(Startup, StatusItemIsDrawnFirstThenStepsRunInOrderAndAFailureDoesNotStopTheRest) {
    Rig rig;
    std::vector<std::string> ran;
    std::vector<StatusBarController::StartupStep> steps{
        {"setupFNListener", [&](StatusBarController& c) {
             EXPECT_GE(rig.button.imageSets, 1) << "the tray is drawn before any feature starts";
             EXPECT_TRUE(c.trayButton()->toolTip() == std::nullopt);
             ran.push_back("fn");
         }},
        {"setupAudio", [&](StatusBarController&) {
             ran.push_back("audio");
             throw std::runtime_error("no sound server");
         }},
        {"setupMeetingSession", [&](StatusBarController&) { ran.push_back("meeting"); }},
    };
    auto controller = StatusBarController::create(rig.services(), steps);
    EXPECT_EQ(ran, (std::vector<std::string>{"fn", "audio", "meeting"}));
    EXPECT_TRUE(rig.log.contains("setupAudio failed: no sound server"));
    EXPECT_TRUE(rig.button.visible);
    EXPECT_EQ(rig.button.image, TrayIcon::idleImage());
}

TEST(Startup, TrayItemBlinksOnceHalfASecondInAndNotAfterTheControllerIsGone) {
    Rig rig;
    auto controller = StatusBarController::create(rig.services());
    EXPECT_EQ(rig.button.visibilityChanges, std::vector<bool>{true});
    rig.loop.advanceBy(seconds(0.49));
    EXPECT_EQ(rig.button.visibilityChanges.size(), 1u);
    rig.loop.advanceBy(seconds(0.02));
    EXPECT_EQ(rig.button.visibilityChanges, (std::vector<bool>{true, false}));
    rig.loop.advanceBy(seconds(0.05));
    EXPECT_EQ(rig.button.visibilityChanges, (std::vector<bool>{true, false, true}));

    Rig second;
    auto gone = StatusBarController::create(second.services());
    gone.reset();
    second.loop.advanceBy(seconds(2));
    EXPECT_EQ(second.button.visibilityChanges, std::vector<bool>{true});
}

TEST(Startup, WithoutATrayButtonTheAppLogsAndCarriesOn) {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    bool laterStepRan = false;
    auto controller = StatusBarController::create(
        AppServices{loop, settings, log, nullptr},
        {{"later", [&](StatusBarController& c) {
              c.renderUI();  // harmless without a button
              laterStepRan = true;
          }}});
    EXPECT_TRUE(log.contains("ERROR: button nil"));
    EXPECT_TRUE(laterStepRan);
    loop.advanceBy(seconds(5));
}
