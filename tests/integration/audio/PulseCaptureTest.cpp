// The microphone engine on a private sound server, PulseAudio and PipeWire
// (through pipewire-pulse) alike: real capture streams, real resampling, real
// device events, and a server that is late, restarts or stops answering.
#include "AudioTestSupport.h"
#include "audio/AudioCapture.h"
#include "audio/adapters/PulseAudioBackend.h"

#include <gmock/gmock.h>

#include <atomic>
#include <cmath>

using namespace parlando;
using namespace parlando::testing;
using Kind = SoundServer::Kind;

namespace {

// A built-in microphone (internal, no ports) over a stereo 48 kHz sink we can
// play into.
const char* kExtraSources =
    "load-module module-null-sink sink_name=builtinfeed rate=48000 channels=2 "
    "sink_properties=device.description=BuiltinFeed\n"
    "load-module module-remap-source source_name=builtin master=builtinfeed.monitor "
    "source_properties=\"device.description='Built-in Mic' device.form_factor=internal device.bus=pci\"\n";

class SoundServerCapture : public SoundServerTest {
protected:
    void SetUp() override {
        startServer(kExtraSources);
        settings.setBool(AudioCapture::mutedKey, false);
    }
    // The engine on a fresh connection.
    void connect() {
        backend = std::make_unique<PulseAudioBackend>(loop, log, seconds(0.5), seconds(2.0));
        capture = std::make_unique<AudioCapture>(loop, settings, log, *backend, converters);
        capture->onAllMicsFailed = [this] { ++allFailed; };
        capture->onSelectionFailedFallback = [this](const auto& a, const auto& b) { fallbacks.emplace_back(a, b); };
        capture->subscribe([this](const AudioChunk&) { ++chunks; });
    }
    // pipewire-pulse (0.3.65) drops the source properties of module-remap-source:
    // there, no source says it is built in.
    std::string builtIn() const { return GetParam() == Kind::pulseaudio ? "builtin" : ""; }
    // The engine runs on that device, and a second and a half of fresh audio has come from it.
    bool onDevice(const std::string& uid) {
        std::size_t n = 0;
        return pumpUntil([&] { return capture->currentDeviceUID() == uid && capture->isAvailable(); }, 15s) &&
               pumpUntil([&] { return (n = capture->currentDeviceUID() == uid ? n + chunks.exchange(0) : 0) > 75; },
                         10s);
    }

    MemorySettings settings;
    std::atomic<std::size_t> chunks = 0;  // counted on the audio thread, so outlives the engine
    std::unique_ptr<PulseAudioBackend> backend;
    std::unique_ptr<AudioCapture> capture;
    int allFailed = 0;
    std::vector<std::pair<std::string, std::string>> fallbacks;
};

}  // namespace

TEST_P(SoundServerCapture, ConvertsListsFollowsTheDefaultAndRestartsOnlyForTheBoundDevice) {
    play("builtinfeed", 1000, 0.5);
    play("micfeed", 660);
    connect();
    capture->setDeviceUID("builtin");  // before the server's devices are known: started once they are
    ASSERT_TRUE(onDevice("builtin"));
    EXPECT_TRUE(log.contains("audio: inputFormat sampleRate=48000.0 channels=2"));
    // The last second: a 1 kHz tone at half of full scale.
    const AudioChunk bytes = capture->preRollSnapshot();
    EXPECT_NEAR(crossings(samplesOf(bytes), 16000), 2000, 10);
    EXPECT_NEAR(rmsInt16(bytes.data() + bytes.size() - 32000, 32000), 0.5 * 32767 / std::sqrt(2.0), 300.0);
    EXPECT_TRUE(pumpUntil([&] { return capture->hasSignal(); }, 5s));

    std::vector<std::string> uids;
    for (const auto& d : capture->devices().inputDevices()) uids.push_back(d.uid);
    EXPECT_THAT(uids, ::testing::IsSupersetOf({"pipemic", "vmic", "builtin"}));
    EXPECT_EQ(capture->devices().builtInMicrophone().value_or(AudioDevices::Device{}).uid, builtIn());
    EXPECT_EQ(capture->devices().defaultInputDevice()->uid, "vmic");
    // A monitor as the default is never ours: the first real input stands in.
    server->pactl({"set-default-source", "speakers.monitor"});
    const auto loaded = server->pactl({"load-module", "module-remap-source", "source_name=usbmic",
                                       "master=micfeed.monitor", "source_properties=device.description=USBMic"});
    ASSERT_EQ(loaded.exitCode, 0);
    ASSERT_TRUE(pumpUntil([&] { return capture->devices().device("usbmic").has_value(); }, 5s));
    EXPECT_TRUE(pumpUntil(
        [&] { return capture->devices().defaultInputDevice().value_or(AudioDevices::Device{}).uid == uids.front(); },
        5s));
    pumpFor(500ms);
    EXPECT_FALSE(log.contains("restarting engine"));
    EXPECT_EQ(capture->preRollSnapshot().size(), 48000u) << "the pre-roll survives other devices";

    capture->setDeviceUID("usbmic");
    ASSERT_TRUE(onDevice("usbmic"));
    pumpFor(2000ms);
    ASSERT_EQ(server->pactl({"unload-module", loaded.out.substr(0, loaded.out.find_first_of("\r\n"))}).exitCode, 0);
    if (builtIn().empty()) {
        EXPECT_TRUE(pumpUntil([&] { return allFailed == 1; }, 10s)) << "no built-in microphone to fall back to";
        return;
    }
    ASSERT_TRUE(pumpUntil([&] { return !fallbacks.empty(); }, 10s));
    EXPECT_EQ(fallbacks.front(), (std::pair<std::string, std::string>{"usbmic", "builtin"}));
    EXPECT_TRUE(onDevice("builtin"));
}

// A server's life at login and after: not there when the app starts, late,
// stopped by SIGSTOP, restarted. Nothing on the main thread waits for it, no
// outage counts as a failing microphone, and the choice made at any time is
// what the engine captures from once the server is back.
TEST_P(SoundServerCapture, LateWedgedAndRestartingServerKeepsTheChoiceAndNeverBlocks) {
    server->stop();
    // Bounds with room for a loaded machine: a wait for the server takes seconds.
    auto t0 = std::chrono::steady_clock::now();
    connect();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, seconds(0.5));
    capture->setDeviceUID("builtin");
    pumpFor(1500ms);
    ASSERT_TRUE(server->restart());
    play("builtinfeed", 440);
    play("micfeed", 660);
    ASSERT_TRUE(onDevice("builtin"));
    pumpFor(2000ms);  // the probe hears it

    ASSERT_EQ(::kill(server->pid(), SIGSTOP), 0);
    std::chrono::steady_clock::duration longestTurn{};
    t0 = std::chrono::steady_clock::now();
    capture->setDeviceUID("vmic");
    EXPECT_FALSE(capture->devices().inputDevices().empty());
    { PulseAudioBackend another(loop, log); }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, seconds(0.5));
    ASSERT_TRUE(pumpUntil([&] { return log.contains("not answering"); }, 10s, &longestTurn));
    pumpUntil([] { return false; }, 2000ms, &longestTurn);
    EXPECT_LT(longestTurn, seconds(0.5));
    ASSERT_EQ(::kill(server->pid(), SIGCONT), 0);
    ASSERT_TRUE(onDevice("vmic"));

    for (auto& f : feeders) f.stop();
    server->stop();
    ASSERT_TRUE(pumpUntil([&] { return !capture->isAvailable(); }, 10s));
    ASSERT_TRUE(server->restart());
    play("micfeed", 660);
    EXPECT_TRUE(onDevice("vmic"));
    EXPECT_EQ(allFailed, 0);
    EXPECT_TRUE(fallbacks.empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServerCapture, ::testing::Values(Kind::pulseaudio, Kind::pipewire),
                         [](const auto& i) { return std::string(SoundServer::name(i.param)); });
