// The microphone engine on a private sound server, PulseAudio and PipeWire
// (through pipewire-pulse) alike: real capture streams, real resampling, real
// device events, and a server that is late, restarts or stops answering.
#include "audio/AudioCapture.h"
#include "audio/adapters/PulseAudioBackend.h"
#include "audio/adapters/SoxrConverter.h"
#include "core/adapters/QtMainLoop.h"
#include "fakes/Fakes.h"
#include "testenv/TestEnv.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <mutex>

using namespace parlando;
using namespace parlando::testing;
using namespace parlando::testenv;
using namespace std::chrono_literals;
using Kind = SoundServer::Kind;

namespace {

QCoreApplication& qtApp() {
    static int argc = 1;
    static char name[] = "integration_audio";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// A built-in microphone (internal, no ports) over a stereo 48 kHz sink we can
// play into.
const char* kExtraSources =
    "load-module module-null-sink sink_name=builtinfeed rate=48000 channels=2 "
    "sink_properties=device.description=BuiltinFeed\n"
    "load-module module-remap-source source_name=builtin master=builtinfeed.monitor "
    "source_properties=\"device.description='Built-in Mic' device.form_factor=internal device.bus=pci\"\n";

class SoundServerCapture : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        qtApp();
        if (!SoundServer::available(GetParam()) || !haveProgram("pacat") || !haveProgram("sox")) {
            GTEST_SKIP() << SoundServer::name(GetParam()) << " tools missing";
        }
        server = std::make_unique<SoundServer>(dir.path(), kExtraSources, GetParam());
        applyToProcess(server->env());
        settings.setBool(AudioCapture::mutedKey, false);
    }
    void TearDown() override {
        if (server && server->pid() > 0) ::kill(server->pid(), SIGCONT);
        for (auto& f : feeders) f.stop();
        capture.reset();
        backend.reset();
        if (HasFailure()) {
            for (const auto& l : log.lines()) std::fprintf(stderr, "  log: %s\n", l.c_str());
        }
    }
    // The engine on a fresh connection; returns how long the construction took.
    Duration connect() {
        const auto t0 = std::chrono::steady_clock::now();
        backend = std::make_unique<PulseAudioBackend>(loop, log, seconds(0.5), seconds(2.0));
        const Duration took = std::chrono::steady_clock::now() - t0;
        capture = std::make_unique<AudioCapture>(loop, settings, log, *backend, converters);
        capture->onAllMicsFailed = [this] { ++allFailed; };
        capture->onSelectionFailedFallback = [this](const std::string& a, const std::string& b) {
            fallbacks.emplace_back(a, b);
        };
        capture->subscribe([this](const AudioChunk& c) {
            std::lock_guard g(mutex);
            chunks.push_back(c);
        });
        return took;
    }
    // Runs the Qt loop until pred holds; false on time-out. Records the longest
    // time the loop was kept from running.
    bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            const auto t0 = std::chrono::steady_clock::now();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            longestTurn = std::max<Duration>(longestTurn, std::chrono::steady_clock::now() - t0);
            QThread::msleep(5);
        }
        return true;
    }
    void pumpFor(std::chrono::milliseconds d) { pumpUntil([] { return false; }, d); }
    // A tone of 16 kHz mono s16le played into a sink, in the background, for a minute.
    void play(double hz, double volume, const std::string& sink) {
        feeders.push_back(Process::spawn(
            {"sh", "-c",
             "sox -n -r 16000 -c 1 -b 16 -e signed-integer -L -t raw - synth 60 sine " + std::to_string(hz) + " vol " +
                 std::to_string(volume) + " | pacat -p -d " + sink + " --format=s16le --rate=16000 --channels=1"},
            server->env()));
    }
    std::vector<AudioChunk> takeChunks() {
        std::lock_guard g(mutex);
        return std::exchange(chunks, {});
    }
    // Fresh audio keeps coming from the engine.
    bool flowing() {
        takeChunks();
        std::size_t n = 0;
        return pumpUntil([&] { return (n += takeChunks().size()) > 25; }, 10s);
    }
    // pipewire-pulse (0.3.65) drops the source properties of module-remap-source:
    // there, no source says it is built in.
    std::string builtIn() const { return GetParam() == Kind::pulseaudio ? "builtin" : ""; }
    bool onDevice(const std::string& uid) {
        return pumpUntil([&] { return capture->currentDeviceUID() == uid && capture->isAvailable(); }, 15s) && flowing();
    }

    TempDir dir{"parlando-audio"};
    std::unique_ptr<SoundServer> server;
    std::vector<Process> feeders;
    QtMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    SoxrConverterFactory converters;
    std::unique_ptr<PulseAudioBackend> backend;
    std::unique_ptr<AudioCapture> capture;
    std::mutex mutex;
    std::vector<AudioChunk> chunks;
    int allFailed = 0;
    std::vector<std::pair<std::string, std::string>> fallbacks;
    Duration longestTurn{};
};

}  // namespace

TEST_P(SoundServerCapture, ListsInputsFollowsTheDefaultAndConvertsAStereoSourceToMonoSixteen) {
    connect();
    ASSERT_TRUE(pumpUntil([&] { return backend->isAudioSystemAvailable(); }, 5s));
    std::vector<std::string> uids;
    for (const auto& d : capture->devices().inputDevices()) uids.push_back(d.uid);
    for (const char* uid : {"pipemic", "vmic", "builtin"}) {
        EXPECT_NE(std::find(uids.begin(), uids.end(), uid), uids.end()) << uid;
    }
    EXPECT_EQ(capture->devices().builtInMicrophone().value_or(AudioDevices::Device{}).uid, builtIn());
    EXPECT_EQ(capture->devices().defaultInputDevice()->uid, "vmic");
    // A monitor as the default is never ours: the first real input stands in.
    server->pactl({"set-default-source", "speakers.monitor"});
    ASSERT_TRUE(pumpUntil([&] { return log.contains("audio: default input changed — speakers.monitor"); }, 5s));
    EXPECT_EQ(capture->devices().defaultInputDevice()->uid, uids.front());

    play(1000, 0.5, "builtinfeed");
    capture->setDeviceUID("builtin");
    ASSERT_TRUE(onDevice("builtin"));
    EXPECT_TRUE(log.contains("audio: inputFormat sampleRate=48000.0 channels=2"));
    std::vector<AudioChunk> got;
    ASSERT_TRUE(pumpUntil([&] {
        for (auto& c : takeChunks()) got.push_back(std::move(c));
        return got.size() >= 50;
    }, 5s));
    AudioChunk second;
    for (auto c = got.end() - 50; c != got.end(); ++c) second.insert(second.end(), c->begin(), c->end());
    // 1 kHz: 2000 zero crossings a second; amplitude 0.5 of full scale.
    std::vector<std::int16_t> s(16000);
    std::memcpy(s.data(), second.data(), second.size());
    int crossings = 0;
    for (std::size_t i = 1; i < s.size(); ++i) crossings += (s[i - 1] < 0) != (s[i] < 0);
    EXPECT_NEAR(crossings, 2000, 10);
    EXPECT_NEAR(rmsInt16(second), 0.5 * 32767 / std::sqrt(2.0), 300.0);
}

TEST_P(SoundServerCapture, OtherDevicesComingAndGoingLeaveTheStreamAloneTheChosenOnesRemovalFallsBack) {
    play(440, 0.3, "builtinfeed");
    play(660, 0.3, "micfeed");
    connect();
    capture->setDeviceUID("vmic");  // not there yet: the engine starts once the server's devices are known
    ASSERT_TRUE(onDevice("vmic"));
    pumpFor(2000ms);  // past our own start
    const auto loaded = server->pactl({"load-module", "module-remap-source", "source_name=usbmic",
                                       "master=micfeed.monitor", "source_properties=device.description=USBMic"});
    ASSERT_EQ(loaded.exitCode, 0);
    const std::string module = loaded.out.substr(0, loaded.out.find_first_of("\r\n"));
    ASSERT_TRUE(pumpUntil([&] { return capture->devices().device("usbmic").has_value(); }, 5s));
    pumpFor(500ms);
    EXPECT_FALSE(log.contains("restarting engine"));
    EXPECT_EQ(capture->preRollSnapshot().size(), 48000u) << "the pre-roll survives";

    capture->setDeviceUID("usbmic");
    ASSERT_TRUE(onDevice("usbmic"));
    pumpFor(2000ms);
    ASSERT_EQ(server->pactl({"unload-module", module}).exitCode, 0);
    if (builtIn().empty()) {
        EXPECT_TRUE(pumpUntil([&] { return allFailed == 1; }, 10s)) << "no built-in microphone to fall back to";
        return;
    }
    ASSERT_TRUE(pumpUntil([&] { return !fallbacks.empty(); }, 10s));
    EXPECT_EQ(fallbacks.front(), (std::pair<std::string, std::string>{"usbmic", "builtin"}));
    EXPECT_TRUE(onDevice("builtin"));
}

// Items of a login: the server is not there when the app starts, comes late,
// and restarts later on; the choice survives all of it.
TEST_P(SoundServerCapture, LateAndRestartingServerKeepsTheChoiceAndBindsItAgain) {
    server->stop();
    EXPECT_LT(connect(), seconds(0.1));
    capture->setDeviceUID("builtin");
    pumpFor(2500ms);
    EXPECT_EQ(allFailed, 0);
    EXPECT_EQ(capture->currentDeviceUID(), "builtin");

    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(server->restart());
        play(440, 0.3, "builtinfeed");
        ASSERT_TRUE(onDevice("builtin")) << "round " << round;
        pumpFor(2000ms);  // the probe hears it
        for (auto& f : feeders) f.stop();
        feeders.clear();
        server->stop();
        ASSERT_TRUE(pumpUntil([&] { return !capture->isAvailable(); }, 10s));
    }
    EXPECT_EQ(allFailed, 0);
    EXPECT_TRUE(fallbacks.empty());
    EXPECT_EQ(capture->currentDeviceUID(), "builtin");
}

// A server stopped by SIGSTOP: nothing on the main thread waits for it, it
// counts as away rather than as a failing microphone, and once it runs again
// the engine captures from the choice made meanwhile.
TEST_P(SoundServerCapture, WedgedServerNeverBlocksTheMainThreadAndIsNoDeviceFailure) {
    play(440, 0.3, "builtinfeed");
    play(660, 0.3, "micfeed");
    connect();
    capture->setDeviceUID("builtin");
    ASSERT_TRUE(onDevice("builtin"));
    pumpFor(2000ms);

    ASSERT_EQ(::kill(server->pid(), SIGSTOP), 0);
    longestTurn = {};
    const auto t0 = std::chrono::steady_clock::now();
    capture->setDeviceUID("vmic");
    EXPECT_FALSE(capture->devices().inputDevices().empty());
    capture->devices().defaultInputDevice();
    PulseAudioBackend another(loop, log, seconds(0.5), seconds(2.0));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, seconds(0.1));
    ASSERT_TRUE(pumpUntil([&] { return log.contains("not answering"); }, 10s));
    pumpFor(3000ms);
    EXPECT_LT(longestTurn, seconds(0.1));
    EXPECT_EQ(allFailed, 0);
    EXPECT_TRUE(fallbacks.empty());
    EXPECT_EQ(capture->currentDeviceUID(), "vmic");

    ASSERT_EQ(::kill(server->pid(), SIGCONT), 0);
    EXPECT_TRUE(onDevice("vmic"));
    EXPECT_TRUE(fallbacks.empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServerCapture, ::testing::Values(Kind::pulseaudio, Kind::pipewire),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(SoundServer::name(info.param));
                         });
