#include "AppRig.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace parlando;
using namespace parlando::testing;

TEST(Startup, StatusItemIsDrawnFirstThenStepsRunInOrderAndAFailureDoesNotStopTheRest) {
    std::vector<std::string> ran;
    AppRig rig({}, {{"setupFNListener",
                     [&](StatusBarController& c) {
                         EXPECT_GE(dynamic_cast<FakeTrayButton&>(*c.trayButton()).imageSets, 1)
                             << "the tray is drawn before any feature starts";
                         ran.push_back("fn");
                     }},
                    {"setupAudio",
                     [&](StatusBarController&) {
                         ran.push_back("audio");
                         throw std::runtime_error("no sound server");
                     }},
                    {"setupMeetingSession", [&](StatusBarController&) { ran.push_back("meeting"); }}});
    EXPECT_EQ(ran, (std::vector<std::string>{"fn", "audio", "meeting"}));
    EXPECT_TRUE(rig.log.contains("setupAudio failed: no sound server"));
    EXPECT_EQ(rig.button.image, TrayIcon::idleImage());

    // The item blinks once half a second in, and not after the controller is gone.
    EXPECT_EQ(rig.button.visibilityChanges, std::vector<bool>{true});
    rig.advance(0.49);
    EXPECT_EQ(rig.button.visibilityChanges.size(), 1u);
    rig.advance(0.07);
    EXPECT_EQ(rig.button.visibilityChanges, (std::vector<bool>{true, false, true}));
    AppRig gone;
    gone.c.reset();
    gone.advance(2);
    EXPECT_EQ(gone.button.visibilityChanges, std::vector<bool>{true});
}

TEST(Startup, WithoutATrayButtonTheAppLogsAndCarriesOnAndTheProbeStillTellsTheUser) {
    bool laterStepRan = false;
    AppRig rig({}, {{"later", [&](StatusBarController& c) {
                        c.renderUI();  // harmless without a button
                        c.showError("boom");
                        laterStepRan = true;
                    }}},
               nullptr, false);
    EXPECT_TRUE(rig.log.contains("ERROR: button nil"));
    EXPECT_TRUE(laterStepRan);
    EXPECT_TRUE(rig.log.contains("error: boom"));
    rig.advance(3.5);
    EXPECT_TRUE(rig.log.contains("tray-probe: no tray item after 3 s"));
    EXPECT_EQ(rig.notifier.posted.size(), 1u);
}
