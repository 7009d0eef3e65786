// Device choice, fallback to the built-in microphone, the silence probe, total
// failure and configuration changes, on a fake sound system and virtual time.
#include "AudioRig.h"

#include <gtest/gtest.h>

using namespace parlando;
using namespace parlando::testing;

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(AudioDevicesList, FiltersLikeTheMenuNeeds) {
    FakeAudioBackend backend;
    backend.add("usb-mic", "USB Mic");
    backend.add("no-channels", "Output only").info.inputChannels = 0;
    backend.add("no-rate", "Broken").info.nominalSampleRate = 0;
    backend.add("", "No UID");
    backend.add("unnamed", "").info.name.reset();
    backend.add("builtin-mic", "Built-in Microphone", true);
    backend.defaultUID = "no-rate";
    AudioDevices devices(backend);
    const auto list = devices.inputDevices();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], (AudioDevices::Device{1, "usb-mic", "USB Mic"}));
    EXPECT_EQ(list[1].name, "unnamed");  // no name: the UID stands in
    EXPECT_EQ(devices.builtInMicrophone()->uid, "builtin-mic");
    EXPECT_EQ(devices.defaultInputDevice()->uid, "no-rate");  // no channel or rate test for the default
    EXPECT_FALSE(devices.device("USB-MIC").has_value());      // exact match only
    backend.available = false;
    EXPECT_TRUE(devices.inputDevices().empty());
}

TEST(DeviceSelection, BlankUIDMeansTheSystemDefaultAndAUIDIsBound) {
    AudioRig rig;
    rig.typicalDevices();
    rig.capture->setDeviceUID("  \t\n ");
    EXPECT_FALSE(rig.capture->currentDeviceUID().has_value());
    EXPECT_EQ(rig.backend.startedOn, std::vector<std::string>{"usb-mic"});
    EXPECT_FALSE(rig.backend.bound.has_value());  // follows the default
    rig.capture->setDeviceUID("  builtin-mic ");
    EXPECT_EQ(rig.capture->currentDeviceUID(), "builtin-mic");
    EXPECT_EQ(rig.backend.startedOn.back(), "builtin-mic");
}

TEST(DeviceSelection, UnpluggedRefusingOrUnbindableChoiceFallsBackToBuiltIn) {
    for (const std::string fault : {"gone", "start", "bind", "default"}) {
        AudioRig rig;
        rig.typicalDevices();
        if (fault == "start" || fault == "default") rig.backend.dev("usb-mic").startFails = true;
        if (fault == "bind") rig.backend.dev("usb-mic").bindFails = true;
        const std::optional<std::string> uid =
            fault == "gone" ? "gone-mic" : fault == "default" ? std::nullopt : std::optional<std::string>("usb-mic");
        rig.capture->setDeviceUID(uid);
        EXPECT_EQ(rig.capture->currentDeviceUID(), "builtin-mic") << fault;
        EXPECT_TRUE(rig.backend.running) << fault;
        EXPECT_EQ(rig.allFailed, 0);
        // Falling back from the system default is no failed selection.
        EXPECT_EQ(rig.fallbacks, uid ? (Pairs{{*uid, "builtin-mic"}}) : Pairs{}) << fault;
    }
}

TEST(DeviceSelection, WithoutBuiltInTheErrorIsThrownAndTotalFailureReportedOncePerEpisode) {
    AudioRig rig;
    rig.backend.add("usb-mic", "USB Mic").startFails = true;
    expectCaptureError([&] { rig.capture->setDeviceUID("usb-mic"); }, CaptureError::Kind::engineStartFailed);
    EXPECT_TRUE(rig.capture->inTotalFailure());
    EXPECT_FALSE(rig.capture->currentDeviceUID().has_value());
    EXPECT_EQ(rig.allFailed, 1);
    rig.advance(3);  // no probe after a thrown selection
    EXPECT_EQ(rig.log.count("audio: probe"), 0u);

    // Within the episode nothing reports it again; configuration changes are ignored.
    rig.backend.emit(AudioSystemEvent::configurationChanged);
    EXPECT_TRUE(rig.log.contains("audio: config change ignored — total failure state, re-select a mic to retry"));
    rig.backend.emit(AudioSystemEvent::audioSystemAppeared);  // retry fails again: still one report
    rig.advance(3);
    EXPECT_EQ(rig.allFailed, 1);
    EXPECT_THROW(rig.capture->setDeviceUID("usb-mic"), CaptureError);  // a new selection, a new episode
    EXPECT_EQ(rig.allFailed, 2);
}

TEST(DeviceSelection, FailingBuiltInEndsInTotalFailureWithItsError) {
    AudioRig rig;
    rig.typicalDevices();
    rig.backend.dev("usb-mic").startFails = true;
    rig.backend.dev("builtin-mic").bindFails = true;
    try {
        rig.capture->setDeviceUID("usb-mic");
        ADD_FAILURE();
    } catch (const AudioDeviceError& e) {
        EXPECT_EQ(e.code(), -10851);
    }
    EXPECT_EQ(rig.allFailed, 1);
    EXPECT_FALSE(rig.backend.running);
}

TEST(DeviceSelection, WhileMutedOnlyTheChoiceIsRecorded) {
    AudioRig rig(true);
    rig.typicalDevices();
    rig.capture->setDeviceUID("usb-mic");
    rig.capture->setDeviceUID(" ");
    EXPECT_TRUE(rig.log.contains("audio: setDeviceUID while muted — saved uid=default, engine stays down"));
    rig.capture->setDeviceUID("builtin-mic");
    rig.advance(5);
    EXPECT_EQ(rig.backend.starts, 0);
    rig.capture->setMuted(false);
    EXPECT_EQ(rig.backend.startedOn, std::vector<std::string>{"builtin-mic"});
}

TEST(SilenceProbe, SilentChoiceIsReplacedThenSilentBuiltInEndsInTotalFailure) {
    AudioRig rig;
    rig.typicalDevices();
    rig.backend.dev("usb-mic").level = 0;
    rig.backend.dev("builtin-mic").level = 5;  // RMS 5: silent as well
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(1.45);
    EXPECT_EQ(rig.capture->currentDeviceUID(), "usb-mic");
    rig.advance(0.1);
    EXPECT_TRUE(rig.log.contains("audio: probe — 'usb-mic' silent (RMS=0.0), falling back to built-in mic"));
    EXPECT_EQ(rig.fallbacks, (Pairs{{"usb-mic", "builtin-mic"}}));
    rig.advance(1.6);
    EXPECT_TRUE(rig.capture->inTotalFailure());
    EXPECT_FALSE(rig.backend.running);
    EXPECT_FALSE(rig.capture->currentDeviceUID().has_value());
    rig.advance(10);
    EXPECT_EQ(rig.allFailed, 1);
}

TEST(SilenceProbe, NoVerdictOnQuietButAudibleAudioOrOnLessThanASecond) {
    AudioRig quiet;
    quiet.typicalDevices();
    quiet.backend.dev("usb-mic").level = 20;
    quiet.capture->setDeviceUID("usb-mic");
    quiet.advance(5);
    EXPECT_EQ(quiet.capture->currentDeviceUID(), "usb-mic");
    EXPECT_EQ(quiet.log.count("audio: probe"), 0u);

    AudioRig brief;
    brief.typicalDevices();
    brief.backend.dev("usb-mic").level = 0;
    brief.capture->setDeviceUID("usb-mic");
    brief.advance(0.7);
    brief.capture->stopEngine();  // the ring empties; the probe then has nothing to judge
    brief.advance(3);
    EXPECT_EQ(brief.log.count("audio: probe"), 0u);
}

TEST(SilenceProbe, NewSelectionAndMutingCancelThePendingProbe) {
    AudioRig rig;
    rig.typicalDevices();
    rig.backend.dev("usb-mic").level = 0;
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(1.0);
    rig.capture->setMuted(true);
    rig.capture->setMuted(false);  // arms a fresh probe on the same silent device
    rig.advance(1.0);               // the first probe would have fired here
    EXPECT_EQ(rig.log.count("audio: probe"), 0u);
    rig.capture->setDeviceUID("builtin-mic");
    rig.advance(5);
    EXPECT_EQ(rig.log.count("audio: probe"), 0u);
}

TEST(SilenceProbe, BuiltInThatWillNotStartAfterASilentProbeEndsInTotalFailure) {
    AudioRig rig;
    rig.typicalDevices();
    rig.backend.dev("usb-mic").level = 0;
    rig.backend.dev("builtin-mic").startFails = true;
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(1.6);
    EXPECT_TRUE(rig.capture->inTotalFailure());
    EXPECT_EQ(rig.allFailed, 1);
    EXPECT_TRUE(rig.fallbacks.empty());
    rig.loop.runPending();
    EXPECT_EQ(rig.availability, (std::vector<bool>{true, false}));
}

TEST(SilenceProbe, HealthyVerdictEndsTotalFailureWhenTheServerComesBack) {
    AudioRig rig;
    rig.typicalDevices();
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(2);
    rig.backend.available = rig.backend.running = false;  // the server goes away
    rig.backend.emit(AudioSystemEvent::configurationChanged);
    EXPECT_TRUE(rig.capture->inTotalFailure());
    EXPECT_EQ(rig.allFailed, 1);
    rig.backend.available = true;
    rig.backend.emit(AudioSystemEvent::audioSystemAppeared);
    EXPECT_TRUE(rig.backend.running);
    EXPECT_TRUE(rig.capture->inTotalFailure()) << "until the probe hears something";
    rig.advance(1.6);
    EXPECT_FALSE(rig.capture->inTotalFailure());
    rig.advance(5);
    EXPECT_EQ(rig.recovered, 1);
}

TEST(ConfigurationChange, OwnStartsAndStopsAreIgnoredForAWhile) {
    AudioRig rig;
    rig.typicalDevices();
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(1.0);
    rig.backend.emit(AudioSystemEvent::configurationChanged);
    EXPECT_TRUE(rig.log.contains("audio: config change ignored — self-triggered (engine op in flight)"));
    EXPECT_EQ(rig.backend.starts, 1);
    rig.advance(0.6);
    rig.backend.emit(AudioSystemEvent::configurationChanged);
    EXPECT_EQ(rig.backend.startedOn, (std::vector<std::string>{"usb-mic", "usb-mic"}));
    EXPECT_TRUE(rig.capture->selfTriggeredOpInFlight());
}

TEST(ConfigurationChange, IgnoredWhileMutedAndFallsBackWhenTheDeviceIsGone) {
    AudioRig rig(true);
    rig.typicalDevices();
    rig.backend.emit(AudioSystemEvent::configurationChanged);
    rig.backend.emit(AudioSystemEvent::audioSystemAppeared);
    EXPECT_EQ(rig.backend.starts, 0);

    rig.capture->setMuted(false);
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(2);
    rig.backend.remove("usb-mic");
    rig.backend.running = false;
    rig.backend.emit(AudioSystemEvent::configurationChanged);
    EXPECT_EQ(rig.capture->currentDeviceUID(), "builtin-mic");
    EXPECT_EQ(rig.fallbacks, (Pairs{{"usb-mic", "builtin-mic"}}));
    rig.advance(2);
    EXPECT_TRUE(rig.capture->hasSignal());
}
