// The microphone engine on a private PulseAudio server: real capture streams,
// real resampling, real device events.
#include "audio/AudioCapture.h"
#include "audio/adapters/PulseAudioBackend.h"
#include "audio/adapters/SoxrConverter.h"
#include "core/adapters/QtMainLoop.h"
#include "fakes/Fakes.h"
#include "testenv/TestEnv.h"
#include "AudioTestSupport.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <utility>
#include <mutex>

using namespace parlando;
using namespace parlando::testing;
using namespace parlando::testenv;
using namespace std::chrono_literals;

namespace {

// A built-in microphone (internal, on the PCI bus) over a stereo 48 kHz sink we
// can play into, and a USB one over a 16 kHz mono sink.
const char* kExtraSources =
    "load-module module-null-sink sink_name=builtinfeed rate=48000 channels=2 "
    "sink_properties=device.description=BuiltinFeed\n"
    "load-module module-remap-source source_name=builtin master=builtinfeed.monitor "
    "source_properties=\"device.description='Built-in Mic' device.form_factor=internal device.bus=pci\"\n";

class PulseCapture : public ::testing::Test {
protected:
    void SetUp() override {
        qtApp();
        if (!haveProgram("pulseaudio") || !haveProgram("pacat") || !haveProgram("sox")) GTEST_SKIP() << "no PulseAudio tools";
        server = std::make_unique<SoundServer>(dir.path(), kExtraSources);
        applyToProcess(server->env());
        wakeSinks();
        settings.setBool(AudioCapture::mutedKey, false);
        loop = std::make_unique<QtMainLoop>();
        backend = std::make_unique<PulseAudioBackend>(*loop, log);
        capture = std::make_unique<AudioCapture>(*loop, settings, log, *backend, converters);
        capture->onAllMicsFailed = [this] { ++allFailed; };
        capture->onMicsRecovered = [this] { ++recovered; };
        capture->onSelectionFailedFallback = [this](const std::string& a, const std::string& b) {
            fallbacks.emplace_back(a, b);
        };
        capture->subscribe([this](const AudioChunk& c) {
            std::lock_guard g(mutex);
            chunks.push_back(c);
        });
    }
    void TearDown() override {
        for (auto& f : feeders) f.stop();
        capture.reset();
        backend.reset();
        loop.reset();
        if (HasFailure()) {
            for (const auto& l : log.lines()) std::fprintf(stderr, "  log: %s\n", l.c_str());
        }
    }

    void wakeSinks() { wakeNullSinks(*server, feeders); }
    // Plays raw 16 kHz mono s16le into a sink in the background.
    void play(const std::filesystem::path& raw, const std::string& sink) {
        feeders.push_back(Process::spawn(
            {"pacat", "-p", "-d", sink, "--format=s16le", "--rate=16000", "--channels=1", raw.string()},
            server->env()));
    }
    std::filesystem::path tone(double hz, double seconds, double volume) {
        auto path = dir.path() / ("tone" + std::to_string(static_cast<int>(hz)) + ".raw");
        if (!std::filesystem::exists(path)) {
            EXPECT_EQ(run({"sox", "-n", "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer", "-L",
                           path.string(), "synth", std::to_string(seconds), "sine", std::to_string(hz), "vol",
                           std::to_string(volume)})
                          .exitCode,
                      0);
        }
        return path;
    }
    std::size_t chunkCount() { return takeChunks().size(); }
    std::vector<AudioChunk> takeChunks(bool clear = false) {
        std::lock_guard g(mutex);
        return clear ? std::exchange(chunks, {}) : chunks;
    }

    TempDir dir{"parlando-audio"};
    std::unique_ptr<SoundServer> server;
    std::vector<Process> feeders;
    std::unique_ptr<QtMainLoop> loop;
    MemorySettings settings;
    MemoryLog log;
    SoxrConverterFactory converters;
    std::unique_ptr<PulseAudioBackend> backend;
    std::unique_ptr<AudioCapture> capture;
    std::mutex mutex;
    std::vector<AudioChunk> chunks;
    int allFailed = 0, recovered = 0;
    std::vector<std::pair<std::string, std::string>> fallbacks;
};

}  // namespace

TEST_F(PulseCapture, ListsInputSourcesButNoMonitors) {
    AudioDevices devices(*backend);
    std::vector<std::string> uids;
    for (const auto& d : devices.inputDevices()) uids.push_back(d.uid);
    EXPECT_EQ(uids, (std::vector<std::string>{"pipemic", "vmic", "builtin"}));
    EXPECT_EQ(devices.device("vmic")->name, "Virtual Mic");
    EXPECT_EQ(devices.builtInMicrophone()->uid, "builtin");
    EXPECT_EQ(devices.defaultInputDevice()->uid, "vmic");
    server->pactl({"set-default-source", "pipemic"});
    EXPECT_EQ(devices.defaultInputDevice()->name, "Pipe Mic");
}

TEST_F(PulseCapture, SpeechArrivesInExactChunksInOrderAtTheRightLevel) {
    if (!haveProgram("espeak-ng")) GTEST_SKIP() << "espeak-ng missing";
    const auto raw = speechRaw(dir.path(), "Testing the always on microphone of Parlando");
    ASSERT_FALSE(raw.empty());
    const auto speech = readRaw(raw);
    ASSERT_GT(speech.size(), 16000u);

    capture->setDeviceUID("vmic");
    ASSERT_TRUE(capture->isAvailable());
    EXPECT_TRUE(log.contains("audio: inputFormat sampleRate=48000.0 channels=1"));
    ASSERT_TRUE(pumpUntil([&] { return chunkCount() > 10; }, 10s));
    const std::size_t before = chunkCount();
    ASSERT_TRUE(server->feed(raw));
    // Wait for the whole speech plus half a second to have come through.
    ASSERT_TRUE(pumpUntil([&] { return chunkCount() >= before + speech.size() / 320 + 25; }, 20s));

    const auto got = takeChunks();
    for (const auto& c : got) ASSERT_EQ(c.size(), 640u);
    const auto received = samplesOf(got);
    // The speech is in there, once, in order.
    EXPECT_GT(bestCorrelation(speech, received), 0.95);
    // Same loudness: the energy that came out is the energy that went in.
    EXPECT_NEAR(energy(received) / energy(speech), 1.0, 0.1);
}

TEST_F(PulseCapture, PreRollHoldsTheLastSeventyFiveChunks) {
    play(tone(440, 30, 0.3), "micfeed");
    capture->setDeviceUID("vmic");
    ASSERT_TRUE(capture->isAvailable());
    pumpFor(2000ms);
    // Freeze the source so that ring and subscriber agree on the newest chunk.
    server->pactl({"suspend-source", "vmic", "1"});
    pumpFor(300ms);
    const AudioChunk snap = capture->preRollSnapshot();
    const auto got = takeChunks();
    ASSERT_EQ(snap.size(), 48000u);
    ASSERT_GE(got.size(), 75u);
    for (std::size_t c = 0; c < 75; ++c) {
        ASSERT_EQ(0, std::memcmp(snap.data() + c * 640, got[got.size() - 75 + c].data(), 640)) << "chunk " << c;
    }
    EXPECT_NEAR(rmsInt16(snap), 0.3 * 32767 / std::sqrt(2.0), 300.0);
}

TEST_F(PulseCapture, StereoFortyEightKilohertzSourceComesOutAsMonoSixteen) {
    play(tone(1000, 30, 0.5), "builtinfeed");
    capture->setDeviceUID("builtin");
    EXPECT_TRUE(log.contains("audio: inputFormat sampleRate=48000.0 channels=2"));
    ASSERT_TRUE(pumpUntil([&] { return chunkCount() > 100; }, 10s));
    auto s = samplesOf(takeChunks());
    s.erase(s.begin(), s.end() - 16000);  // the last second
    // 1 kHz: 2000 zero crossings a second; amplitude 0.5 of full scale.
    int crossings = 0;
    for (std::size_t i = 1; i < s.size(); ++i) crossings += (s[i - 1] < 0) != (s[i] < 0);
    EXPECT_NEAR(crossings, 2000, 10);
    std::vector<std::uint8_t> bytes(s.size() * 2);
    std::memcpy(bytes.data(), s.data(), bytes.size());
    EXPECT_NEAR(rmsInt16(bytes), 0.5 * 32767 / std::sqrt(2.0), 200.0);
}

TEST_F(PulseCapture, SixteenKilohertzMonoPipeSourceIsBitExact) {
    capture->setDeviceUID("pipemic");
    ASSERT_TRUE(capture->isAvailable());
    EXPECT_TRUE(log.contains("audio: inputFormat sampleRate=16000.0 channels=1"));
    // 2 s of a pattern no resampler would keep, written at real-time pace.
    std::vector<std::int16_t> pattern(32000);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::int16_t>(i * 2654435761u >> 16);
    std::thread writer([&] {
        std::ofstream fifo(server->pipePath(), std::ios::binary);
        for (std::size_t off = 0; off < pattern.size(); off += 320) {
            fifo.write(reinterpret_cast<const char*>(pattern.data() + off), 640);
            fifo.flush();
            std::this_thread::sleep_for(20ms);
        }
    });
    const bool all = pumpUntil([&] { return chunkCount() >= 100; }, 15s);
    writer.join();
    ASSERT_TRUE(all);
    const auto got = samplesOf(takeChunks());
    ASSERT_GE(got.size(), pattern.size());
    EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), got.begin()));
}

TEST_F(PulseCapture, SilentSourceFailsTheProbeAndTheBuiltInTakesOver) {
    play(tone(440, 30, 0.3), "builtinfeed");
    capture->setDeviceUID("vmic");  // nothing plays into it: digital silence
    ASSERT_TRUE(pumpUntil([&] { return !fallbacks.empty(); }, 10s));
    EXPECT_TRUE(log.contains("audio: probe — 'vmic' silent (RMS=0.0), falling back to built-in mic"));
    EXPECT_EQ(fallbacks.front(), (std::pair<std::string, std::string>{"vmic", "builtin"}));
    EXPECT_EQ(capture->currentDeviceUID(), "builtin");
    ASSERT_TRUE(pumpUntil([&] { return capture->hasSignal(); }, 10s));
    pumpFor(2000ms);  // the built-in passes its own probe
    EXPECT_EQ(capture->currentDeviceUID(), "builtin");
    EXPECT_EQ(allFailed, 0);
}

TEST_F(PulseCapture, UnloadingTheChosenSourceFallsBack) {
    play(tone(440, 30, 0.3), "builtinfeed");
    const auto loaded = server->pactl({"load-module", "module-remap-source", "source_name=usbmic",
                                       "master=micfeed.monitor",
                                       "source_properties=\"device.description=USBMic device.bus=usb\""});
    ASSERT_EQ(loaded.exitCode, 0);
    const std::string module = loaded.out.substr(0, loaded.out.find_first_of("\r\n"));
    play(tone(660, 30, 0.3), "micfeed");
    pumpFor(300ms);
    capture->setDeviceUID("usbmic");
    ASSERT_TRUE(capture->isAvailable());
    pumpFor(2500ms);  // past the probe and our own start
    EXPECT_EQ(capture->currentDeviceUID(), "usbmic");
    takeChunks(true);
    ASSERT_EQ(server->pactl({"unload-module", module}).exitCode, 0);
    ASSERT_TRUE(pumpUntil([&] { return !fallbacks.empty(); }, 10s));
    EXPECT_TRUE(log.contains("audio: configuration change — restarting engine"));
    EXPECT_TRUE(log.contains("Selected mic not connected (uid=usbmic)"));
    EXPECT_EQ(fallbacks.front(), (std::pair<std::string, std::string>{"usbmic", "builtin"}));
    EXPECT_TRUE(capture->isAvailable());
    ASSERT_TRUE(pumpUntil([&] { return chunkCount() > 50; }, 10s));
}

TEST_F(PulseCapture, RecoversWhenTheServerStopsAndStartsAgain) {
    play(tone(440, 60, 0.3), "micfeed");
    capture->setDeviceUID(std::nullopt);
    ASSERT_TRUE(capture->isAvailable());
    pumpFor(2500ms);
    ASSERT_TRUE(capture->hasSignal());

    for (auto& f : feeders) f.stop();
    feeders.clear();
    server->stop();
    ASSERT_TRUE(pumpUntil([&] { return allFailed == 1; }, 10s));
    EXPECT_TRUE(log.contains("audio: sound server connection lost"));
    EXPECT_FALSE(capture->isAvailable());
    EXPECT_TRUE(capture->inTotalFailure());
    pumpFor(2500ms);  // a few reconnect attempts against nothing
    EXPECT_EQ(allFailed, 1);

    ASSERT_TRUE(server->restart());
    wakeSinks();
    play(tone(440, 60, 0.3), "micfeed");
    ASSERT_TRUE(pumpUntil([&] { return recovered == 1; }, 15s));
    EXPECT_TRUE(log.contains("audio: sound server appeared — starting engine"));
    EXPECT_TRUE(capture->isAvailable());
    EXPECT_FALSE(capture->inTotalFailure());
    takeChunks(true);
    ASSERT_TRUE(pumpUntil([&] { return chunkCount() > 25; }, 10s));
}

TEST(PulseWithoutServer, NoServerIsNoInputDeviceAndTheEngineComesUpWhenItAppears) {
    qtApp();
    if (!haveProgram("pulseaudio")) GTEST_SKIP();
    TempDir dir{"parlando-audio"};
    const auto socketDir = dir.path() / "pa" / "pulse";
    std::filesystem::create_directories(socketDir);
    applyToProcess({{"PULSE_SERVER", "unix:" + (socketDir / "native").string()}});
    QtMainLoop loop;
    MemorySettings settings;
    settings.setBool(AudioCapture::mutedKey, false);
    MemoryLog log;
    SoxrConverterFactory converters;
    PulseAudioBackend backend(loop, log, seconds(0.5));
    AudioCapture capture(loop, settings, log, backend, converters);
    int allFailed = 0, recovered = 0;
    capture.onAllMicsFailed = [&] { ++allFailed; };
    capture.onMicsRecovered = [&] { ++recovered; };
    EXPECT_TRUE(log.contains("audio: sound server not running"));
    EXPECT_TRUE(AudioDevices(backend).inputDevices().empty());
    try {
        capture.setDeviceUID(std::nullopt);
        ADD_FAILURE() << "started without a server";
    } catch (const CaptureError& e) {
        EXPECT_EQ(e.kind(), CaptureError::Kind::noInputDevice);
    }
    EXPECT_EQ(allFailed, 1);

    SoundServer server(dir.path());
    std::vector<Process> readers;
    wakeNullSinks(server, readers);
    Process feeder = Process::spawn({"sh", "-c",
                                     "sox -n -r 16000 -c 1 -b 16 -e signed-integer -L -t raw - synth 30 sine 300 vol 0.3 | "
                                     "pacat -p -d micfeed --format=s16le --rate=16000 --channels=1"},
                                    server.env());
    ASSERT_TRUE(pumpUntil([&] { return capture.isAvailable(); }, 15s));
    ASSERT_TRUE(pumpUntil([&] { return recovered == 1; }, 15s)) << "probe never heard the microphone";
    feeder.stop();
}
