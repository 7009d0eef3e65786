#include "audio/AudioWiring.h"
#include "app/StatusBarController.h"
#include "core/VirtualMainLoop.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

#include <thread>

using namespace parlando;
using namespace parlando::testing;

namespace {
struct Rig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeTrayButton button;
    std::shared_ptr<StatusBarController> c = StatusBarController::create(AppServices{loop, settings, log, &button});
    bool muted = false;
    std::optional<MicMenuDevice> builtIn = MicMenuDevice{"builtin-uid", "Встроенный микрофон"};
    std::optional<std::string> failure;
    std::vector<std::optional<std::string>> applied;
    // What was saved at the moment the engine was asked to start.
    std::optional<std::string> savedWhenApplied;
    std::vector<std::function<void()>> readyWaiters;
    bool serverReady = true;

    AudioWiring wiring() {
        MicEngineControl e;
        e.isMuted = [this] { return muted; };
        e.builtInMicrophone = [this] { return builtIn; };
        e.whenAudioSystemReady = [this](std::function<void()> fn) {
            serverReady ? fn() : readyWaiters.push_back(std::move(fn));
        };
        e.setDeviceUID = [this](const std::optional<std::string>& uid) {
            savedWhenApplied = settings.getString(StatusBarController::micDeviceUIDKey);
            applied.push_back(uid);
            return failure;
        };
        return AudioWiring(c->weak(), e, LampControl{});
    }
};
}  // namespace

TEST(AudioWiring, FirstLaunchRecordsTheBuiltInMicrophoneBeforeStartingAndASavedChoiceWins) {
    Rig rig;
    rig.serverReady = false;  // the built-in microphone is known once the server is there
    AudioWiring w = rig.wiring();
    w.setupAudio();
    EXPECT_TRUE(rig.applied.empty());
    EXPECT_TRUE(rig.log.contains("audio: waiting for the sound server"));
    rig.readyWaiters.at(0)();
    EXPECT_EQ(rig.savedWhenApplied, "builtin-uid");
    EXPECT_EQ(rig.applied, (std::vector<std::optional<std::string>>{"builtin-uid"}));
    EXPECT_TRUE(rig.log.contains("audio: always-on engine started (uid=builtin-uid, pre-roll 1.5s)"));

    Rig saved;
    saved.settings.setString(StatusBarController::micDeviceUIDKey, "  usb-1 \n");
    saved.muted = true;
    saved.wiring().setupAudio();
    EXPECT_EQ(saved.applied.back(), "usb-1");
    EXPECT_EQ(saved.button.image.ops.back().kind, IconOp::Kind::strokeLine) << "the muted slash from the start";
}

TEST(AudioWiring, BlankChoiceWithoutABuiltInMicCountsAsAbsentAndFailureIsOnlyLogged) {
    Rig rig;
    rig.settings.setString(StatusBarController::micDeviceUIDKey, "   ");
    rig.builtIn.reset();
    rig.failure = "Нет доступа к звуковому серверу";
    rig.wiring().setupAudio();
    EXPECT_EQ(rig.applied.back(), std::nullopt);
    EXPECT_TRUE(rig.log.contains("audio: bootstrap failed — Нет доступа к звуковому серверу. Will retry on FN-press."));
    EXPECT_EQ(rig.button.tip, std::nullopt) << "nothing is shown to the user";
}

TEST(AudioWiring, TotalFailureErasesTheChoiceAndRaisesTheBadgeUntilRecoveryAndErrorsHopToTheMainThread) {
    Rig rig;
    AudioWiring w = rig.wiring();
    rig.settings.setString(StatusBarController::micDeviceUIDKey, "usb-1");
    w.onAllMicsFailed();
    EXPECT_FALSE(rig.settings.contains(StatusBarController::micDeviceUIDKey));
    EXPECT_EQ(rig.button.title, " MIC");
    w.onMicsRecovered();
    EXPECT_EQ(rig.button.title, "");
    w.onSelectionFailedFallback("usb-1", "builtin-uid");
    EXPECT_EQ(rig.settings.getString(StatusBarController::micDeviceUIDKey), "builtin-uid");
    std::thread([&w] { w.onError("overflow"); }).join();
    EXPECT_FALSE(rig.log.contains("audio: error — overflow"));
    rig.loop.runPending();
    EXPECT_TRUE(rig.log.contains("audio: error — overflow"));
    rig.c.reset();  // handlers that hold the controller do nothing once it is gone
    w.onAllMicsFailed();
}
