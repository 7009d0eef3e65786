// Device choice, fallback to the built-in microphone, the silence probe, total
// failure, configuration changes and sound-server outages, on a fake sound
// system and virtual time.
#include "AudioRig.h"

#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;

using Pairs = std::vector<std::pair<std::string, std::string>>;
using UIDs = std::vector<std::string>;

TEST(AudioDevicesList, FiltersRanksTheBuiltInAndNeverDefaultsToAMonitor) {
    FakeAudioBackend backend;
    backend.add("jack", "Mic jack").info.builtInRank = 1;  // no port information, internal card
    backend.add("usb-mic", "USB Mic");
    backend.add("no-channels", "Output only").info.inputChannels = 0;
    backend.add("no-rate", "Broken").info.nominalSampleRate = 0;
    backend.add("", "No UID");
    backend.add("unnamed", "").info.name.reset();
    backend.add("internal", "Internal Mic", true);
    backend.add("speakers.monitor", "Monitor of Speakers").info.isMonitor = true;
    AudioDevices devices(backend);
    const auto list = devices.inputDevices();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[1], (AudioDevices::Device{2, "usb-mic", "USB Mic"}));
    EXPECT_EQ(list[2].name, "unnamed");                       // no name: the UID stands in
    EXPECT_EQ(devices.builtInMicrophone()->uid, "internal");  // a port that says so beats a form factor
    EXPECT_FALSE(devices.device("USB-MIC").has_value());      // exact match only
    backend.defaultUID = "speakers.monitor";
    EXPECT_EQ(devices.defaultInputDevice()->uid, "jack");  // the first real input instead
    backend.remove("internal");
    EXPECT_EQ(devices.builtInMicrophone()->uid, "jack");  // nothing better known
    backend.available = false;
    EXPECT_TRUE(devices.inputDevices().empty());
}

TEST(DeviceSelection, BlankUIDMeansTheSystemDefaultAndMutedSelectionsAreOnlyRecorded) {
    AudioRig rig;
    rig.capture->setDeviceUID("  \t\n ");
    EXPECT_FALSE(rig.capture->currentDeviceUID().has_value());
    rig.capture->setDeviceUID("  builtin-mic ");
    EXPECT_EQ(rig.backend.startedOn, (UIDs{"usb-mic", "builtin-mic"}));

    AudioRig muted(true);
    muted.capture->setDeviceUID("builtin-mic");
    muted.advance(5);
    EXPECT_TRUE(muted.backend.startedOn.empty());
    muted.capture->setMuted(false);
    EXPECT_EQ(muted.backend.startedOn, UIDs{"builtin-mic"});
}

TEST(DeviceSelection, FailingChoiceFallsBackToTheBuiltInOrEndsInOneTotalFailure) {
    struct Case {
        const char* name;
        std::optional<std::string> uid;
        bool usbFails, builtInFails, builtInAbsent;
        Pairs fallbacks;
        bool totalFailure;
    } const cases[] = {
        {"unplugged", "gone-mic", false, false, false, {{"gone-mic", "builtin-mic"}}, false},
        {"refuses", "usb-mic", true, false, false, {{"usb-mic", "builtin-mic"}}, false},
        {"default refuses", std::nullopt, true, false, false, {}, false},  // no failed selection to report
        {"built-in refuses too", "usb-mic", true, true, false, {}, true},
        {"no built-in", "usb-mic", true, false, true, {}, true},
    };
    for (const auto& c : cases) {
        AudioRig rig;
        rig.backend.dev("usb-mic").startFails = c.usbFails;
        rig.backend.dev("builtin-mic").startFails = c.builtInFails;
        if (c.builtInAbsent) rig.backend.remove("builtin-mic");
        if (c.totalFailure)
            EXPECT_THROW(rig.capture->setDeviceUID(c.uid), CaptureError) << c.name;
        else
            rig.capture->setDeviceUID(c.uid);
        EXPECT_EQ(rig.fallbacks, c.fallbacks) << c.name;
        EXPECT_EQ(rig.capture->currentDeviceUID(),
                  c.totalFailure ? std::nullopt : std::optional<std::string>("builtin-mic"))
            << c.name;
        EXPECT_EQ(rig.backend.running, !c.totalFailure) << c.name;
        EXPECT_EQ(rig.allFailed, c.totalFailure ? 1 : 0) << c.name;
        if (!c.totalFailure) continue;
        // Within the episode nothing reports it again and configuration changes are ignored.
        rig.advance(3);
        EXPECT_EQ(rig.log.count("audio: probe"), 0u) << "no probe after a thrown selection";
        rig.backend.emit(AudioSystemEvent::configurationChanged);
        EXPECT_TRUE(rig.log.contains("audio: config change ignored — total failure state, re-select a mic to retry"));
        EXPECT_EQ(rig.allFailed, 1);
        EXPECT_THROW(rig.capture->setDeviceUID("usb-mic"), CaptureError);  // a new selection, a new episode
        EXPECT_EQ(rig.allFailed, 2);
    }
}

// A silent choice gives way to the built-in microphone; a built-in one that is
// silent too or will not start ends in one total failure, which lasts until
// the server's return brings a device the probe hears.
TEST(SilenceProbe, SilentChoiceFallsBackAndASilentOrDeadBuiltInIsOneTotalFailureUntilHeard) {
    for (const bool builtInStarts : {true, false}) {
        AudioRig rig;
        rig.backend.dev("usb-mic").level = 0;
        rig.backend.dev("builtin-mic").level = 5;  // RMS 5: silent as well
        rig.backend.dev("builtin-mic").startFails = !builtInStarts;
        rig.capture->setDeviceUID("usb-mic");
        rig.advance(1.45);
        EXPECT_EQ(rig.backend.startedOn.size(), 1u);
        rig.advance(builtInStarts ? 1.7 : 0.1);
        EXPECT_EQ(rig.fallbacks, (builtInStarts ? Pairs{{"usb-mic", "builtin-mic"}} : Pairs{}));
        EXPECT_TRUE(rig.capture->inTotalFailure());
        EXPECT_FALSE(rig.backend.running);
        EXPECT_FALSE(rig.capture->currentDeviceUID().has_value());
        rig.advance(10);
        EXPECT_EQ(rig.availability.back(), false);
        EXPECT_EQ(rig.allFailed, 1);

        rig.backend.dev("usb-mic").level = 1000;
        rig.backend.setAvailable(false);
        rig.backend.setAvailable(true);
        EXPECT_TRUE(rig.backend.running);
        EXPECT_TRUE(rig.capture->inTotalFailure());
        rig.advance(5);
        EXPECT_FALSE(rig.capture->inTotalFailure());
        EXPECT_EQ(rig.recovered, 1);
    }
}

TEST(SilenceProbe, NoVerdictOnLessThanASecondOrAfterANewSelectionOrMute) {
    AudioRig rig;
    rig.backend.dev("usb-mic").level = 0;
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(0.7);
    rig.capture->stopEngine();  // the ring empties; the probe then has nothing to judge
    rig.advance(1.0);
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(1.0);
    rig.capture->setMuted(true);
    rig.capture->setMuted(false);  // arms a fresh probe on the same silent device
    rig.advance(1.0);              // the earlier probes would have fired by now
    rig.capture->setDeviceUID("builtin-mic");
    rig.advance(5);
    EXPECT_EQ(rig.log.count("audio: probe"), 0u);
}

// Other devices coming and going, a default that moves while a device is
// chosen, and a chosen device that goes: the audio integration tests check those.
TEST(ConfigurationChange, TheDefaultIsFollowedButNotJustAfterOurOwnStartNorWhileMuted) {
    AudioRig rig;
    rig.capture->ensureRunning();  // on the default: usb-mic
    rig.advance(1.0);
    rig.backend.defaultUID = "builtin-mic";
    rig.backend.emit(AudioSystemEvent::configurationChanged);
    EXPECT_EQ(rig.backend.startedOn, UIDs{"usb-mic"});
    rig.advance(1.0);
    rig.backend.emit(AudioSystemEvent::configurationChanged);
    EXPECT_EQ(rig.backend.startedOn, (UIDs{"usb-mic", "builtin-mic"}));
    rig.capture->setMuted(true);
    rig.advance(2.0);
    rig.backend.defaultUID = "usb-mic";
    rig.backend.emit(AudioSystemEvent::configurationChanged);
    EXPECT_FALSE(rig.backend.running);
}

// An outage keeps the choice; a device that is not back within the settling
// time after the server returns is a missing device.
TEST(SoundServerOutage, ADeviceThatDoesNotComeBackInTimeIsMissing) {
    AudioRig rig;
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(2);
    rig.backend.setAvailable(false);
    EXPECT_TRUE(rig.capture->preRollSnapshot().empty());
    expectCaptureError([&] { rig.capture->ensureRunning(); }, CaptureError::Kind::noInputDevice);
    rig.backend.remove("usb-mic");
    rig.backend.setAvailable(true);
    rig.advance(2.9);
    EXPECT_TRUE(rig.fallbacks.empty());
    rig.advance(0.2);
    EXPECT_EQ(rig.fallbacks, (Pairs{{"usb-mic", "builtin-mic"}}));
    EXPECT_EQ(rig.allFailed, 0);
}
