// The microphone engine on a fake sound system and virtual time: mute switch,
// chunking, pre-roll ring, subscribers, signal, start errors, the pre-roll
// shared with the audio thread, device choice, fallback to the built-in
// microphone, the silence probe, total failure, configuration changes and
// sound-server outages; the system-audio chunker on the same fake converter;
// and the wiring between the engine, the stored choice and the tray.
#include "app/StatusBarController.h"
#include "audio/AudioCapture.h"
#include "audio/AudioWiring.h"
#include "audio/SystemAudioChunker.h"
#include "core/VirtualMainLoop.h"
#include "fakes/FakeAudio.h"
#include "fakes/Fakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

using namespace parlando;
using namespace parlando::testing;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;
using UIDs = std::vector<std::string>;

struct AudioRig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeAudioBackend backend;
    FakeConverterFactory converters;
    std::unique_ptr<AudioCapture> capture;

    std::vector<bool> availability, signal, muted;
    int allFailed = 0, recovered = 0;
    Pairs fallbacks;
    std::vector<std::string> errors;

    // storedMuted: the stored mute switch (nullopt: never written, a fresh installation).
    // A typical machine: a USB microphone, the default, and the built-in one.
    explicit AudioRig(std::optional<bool> storedMuted = false) {
        if (storedMuted) settings.setBool(AudioCapture::mutedKey, *storedMuted);
        backend.add("usb-mic", "USB Mic");
        backend.add("builtin-mic", "Built-in Microphone", true);
        backend.defaultUID = "usb-mic";
        backend.clockWith(loop);
        capture = std::make_unique<AudioCapture>(loop, settings, log, backend, converters);
        capture->onAvailabilityChange = [this](bool v) { availability.push_back(v); };
        capture->onSignalChange = [this](bool v) { signal.push_back(v); };
        capture->onMutedChange = [this](bool v) { muted.push_back(v); };
        capture->onAllMicsFailed = [this] { ++allFailed; };
        capture->onMicsRecovered = [this] { ++recovered; };
        capture->onSelectionFailedFallback = [this](const auto& a, const auto& b) { fallbacks.emplace_back(a, b); };
        capture->onError = [this](const std::string& e) { errors.push_back(e); };
    }

    void advance(double s) { loop.advanceBy(seconds(s)); }
};

// Expects `f` to throw a CaptureError with exactly that text (each kind has its own).
void expectCaptureError(const std::function<void()>& f, const char* text) {
    EXPECT_THAT(f, ::testing::ThrowsMessage<CaptureError>(::testing::StrEq(text)));
}

// A counting pattern of 16-bit samples: consecutive samples differ by 7919
// (mod 2^16), so any lost, doubled or reordered byte shows.
std::int16_t patternSample(std::size_t i) { return static_cast<std::int16_t>(i * 7919 % 65536 - 32768); }

std::int16_t sampleAt(const AudioChunk& bytes, std::size_t i) {
    return static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
}

// Every byte of `bytes` is the pattern from sample `first` on.
void expectPattern(const AudioChunk& bytes, std::size_t first = 0) {
    for (std::size_t i = 0; i < bytes.size() / 2; ++i) ASSERT_EQ(sampleAt(bytes, i), patternSample(first + i)) << i;
}

// A receiver that appends every chunk to `out`, each exactly 640 bytes.
std::function<void(const AudioChunk&)> into(AudioChunk& out) {
    return [&out](const AudioChunk& c) {
        EXPECT_EQ(c.size(), 640u);
        out.insert(out.end(), c.begin(), c.end());
    };
}

// The engine as the tray wiring sees it (muted as stored), with what it was asked to do recorded.
struct WiringRig : AudioRig {
    using AudioRig::AudioRig;
    FakeTrayButton button;
    std::shared_ptr<StatusBarController> c = StatusBarController::create(AppServices{loop, settings, log, &button});
    std::vector<std::optional<std::string>> applied;
    std::optional<std::string> savedWhenApplied;  // the choice stored when the engine was asked to start
    std::function<void()> whenReady;              // what waits for the sound server

    AudioWiring wiring() {
        MicEngineControl e;
        e.isMuted = [this] { return capture->isMuted(); };
        e.builtInMicrophone = [] { return MicMenuDevice{"builtin-uid", "Встроенный микрофон"}; };
        e.whenAudioSystemReady = [this](std::function<void()> fn) { whenReady = std::move(fn); };
        e.setDeviceUID = [this](const std::optional<std::string>& uid) {
            savedWhenApplied = settings.getString(StatusBarController::micDeviceUIDKey);
            applied.push_back(uid);
            return std::optional<std::string>();
        };
        return AudioWiring(c->weak(), e, LampControl{});
    }
};

}  // namespace

// A muted selection is only recorded; a blank UID means the system default.
TEST(AudioCaptureMute, FreshInstallationStartsMutedAndTheSwitchIsPersistedAndAnnouncedOnceLater) {
    AudioRig rig(std::nullopt);
    expectCaptureError([&] { rig.capture->ensureRunning(); }, "Parlando muted — turn on Listening in the menu");
    rig.backend.dev("usb-mic").startFails = true;  // a failed start does not undo the unmute
    rig.capture->setDeviceUID("  usb-mic ");
    rig.advance(5);
    EXPECT_TRUE(rig.backend.startedOn.empty());
    rig.capture->setMuted(false);
    EXPECT_EQ(rig.settings.getBool(AudioCapture::mutedKey), false);
    EXPECT_TRUE(rig.muted.empty()) << "onMutedChange must not run inline";
    rig.backend.defaultUID = "builtin-mic";
    rig.capture->setDeviceUID("  \t\n ");
    EXPECT_EQ(rig.backend.startedOn, (UIDs{"usb-mic", "builtin-mic", "builtin-mic"}));
    EXPECT_EQ(rig.fallbacks, (Pairs{{"usb-mic", "builtin-mic"}}));
    rig.advance(2);
    rig.capture->setMuted(true);
    rig.capture->setMuted(true);
    rig.advance(1);
    EXPECT_FALSE(rig.backend.running);
    EXPECT_EQ(rig.muted, (std::vector<bool>{false, true}));
    EXPECT_EQ(rig.signal, (std::vector<bool>{true, false})) << "muting ends the signal";
}

TEST(AudioCaptureChunks, ExactChunksInOrderWhateverTheBuffersAndThePreRollJoinsTheLiveStreamWithoutGapOrOverlap) {
    AudioRig rig;
    // One 16 kHz mono microphone, the default, running: what goes in comes out unconverted.
    rig.backend.add("m", "Mic", false, 16000, 1);
    rig.backend.defaultUID = "m";
    rig.capture->setDeviceUID(std::nullopt);
    std::size_t fed = 0;  // frames of the pattern pushed so far
    const auto push = [&](std::size_t frames) {
        std::vector<float> buf(frames);
        for (std::size_t i = 0; i < frames; ++i) buf[i] = static_cast<float>(patternSample(fed + i)) / 32768.0f;
        rig.capture->process(AudioBufferView{buf.data(), frames, 1, 16000});
        fed += frames;
    };
    push(3200);  // 10 chunks nobody hears
    AudioChunk a, b;
    const auto ida = rig.capture->subscribe(into(a));
    rig.capture->subscribe(into(b));
    push(341);  // 682 bytes: one chunk, 42 bytes held for the next
    ASSERT_EQ(a, b);
    expectPattern(a, 3200);
    rig.capture->unsubscribe(ida);
    rig.capture->unsubscribe(999999);  // unknown: nothing
    rig.converters.failWith = "converter broke";
    push(640);
    EXPECT_EQ(rig.errors, std::vector<std::string>{"converter broke"});
    rig.converters.failWith.reset();
    push(640);
    EXPECT_EQ(a.size(), 640u);
    EXPECT_EQ(b.size(), 3 * 640u) << "a failed buffer is dropped, the next one delivered";

    std::mt19937 random(42);
    std::uniform_int_distribution<std::size_t> size(1, 2500);
    for (const bool bursty : {false, true}) {
        // Also with a resampler that holds output back and releases it in bursts.
        rig.converters.bursty = bursty;
        rig.capture->stopEngine();
        rig.capture->startEngine();
        b.clear();
        fed = 0;
        while (fed < 16000 * 3) push(size(random));
        push(1);
        push(1);  // one of the last two calls releases what was held
        EXPECT_NEAR(static_cast<double>(b.size() / 640), static_cast<double>(fed / 320), bursty ? 1.0 : 0.0);
        expectPattern(b);
    }
    const AudioChunk snap = rig.capture->preRollSnapshot();
    ASSERT_EQ(snap.size(), 48000u);
    expectPattern(snap, b.size() / 2 - 75 * 320);

    // A subscriber that takes the pre-roll in the same step must see the stream
    // continue exactly where the pre-roll ends, while the audio thread runs (and
    // ThreadSanitizer watches the ring shared by both threads).
    // Joined (after a stop request) however the test ends.
    std::jthread audio([&](const std::stop_token& stop) {
        while (!stop.stop_requested()) push(331);
    });
    for (int checked = 0; checked < 200;) {
        // Per-round state on the heap: a delivery already under way when we
        // unsubscribe may still reach this round's handler.
        constexpr int none = 1 << 20;
        auto first = std::make_shared<std::atomic<int>>(none);
        AudioChunk preRoll;
        const auto id = rig.capture->subscribe(
            [first](const AudioChunk& c) {
                if (*first == none) *first = sampleAt(c, 0);  // deliveries come from the one audio thread
            },
            &preRoll);
        while (*first == none) std::this_thread::yield();
        rig.capture->unsubscribe(id);
        if (preRoll.size() < 640) continue;  // the ring is still filling
        const auto gap = static_cast<std::uint16_t>(*first - sampleAt(preRoll, preRoll.size() / 2 - 1));
        ASSERT_EQ(gap, 7919) << "a chunk was lost or sent twice between the pre-roll and the first live chunk";
        ++checked;
    }
}

// Why a start fails, told exactly; a stream that died on its own (nobody
// called stop) leaves no stale pre-roll. The default is followed, but not just
// after our own start nor while muted. An outage keeps the choice; a device
// that is not back within the settling time after the server returns is
// missing. Other devices coming and going, a default that moves while a device
// is chosen, and a chosen device that goes: the audio integration tests check those.
TEST(AudioCaptureStart, ReportsWhyItCannotStartFollowsTheDefaultAndOutlastsAnOutage) {
    AudioRig rig;
    rig.backend.dev("usb-mic").info.nominalSampleRate = 44100;
    rig.converters.refuse = true;
    const auto start = [&] { rig.capture->ensureRunning(); };
    expectCaptureError(start, "Unsupported input format: converter init from <2 ch, 44100.0 Hz, Float32, interleaved>");
    rig.converters.refuse = false;
    rig.backend.dev("usb-mic").startFails = true;
    expectCaptureError(start, "Audio engine failed to start: device refused to start");
    rig.backend.dev("usb-mic").startFails = false;
    rig.capture->ensureRunning();
    rig.capture->ensureRunning();  // running: nothing
    rig.advance(1.0);
    rig.backend.defaultUID = "builtin-mic";
    rig.backend.handler(AudioSystemEvent::configurationChanged);
    EXPECT_EQ(rig.backend.startedOn, (UIDs{"usb-mic", "usb-mic"}));
    rig.advance(1.0);
    rig.backend.handler(AudioSystemEvent::configurationChanged);
    EXPECT_EQ(rig.backend.startedOn, (UIDs{"usb-mic", "usb-mic", "builtin-mic"}));
    rig.advance(2);
    rig.backend.running = false;
    rig.capture->ensureRunning();
    EXPECT_TRUE(rig.capture->preRollSnapshot().empty());

    rig.capture->setDeviceUID("usb-mic");
    rig.advance(2);
    rig.backend.setAvailable(false);
    EXPECT_TRUE(rig.capture->preRollSnapshot().empty());
    expectCaptureError(start, "No audio input device available");
    rig.backend.remove("usb-mic");
    rig.backend.setAvailable(true);
    rig.advance(2.9);
    EXPECT_TRUE(rig.fallbacks.empty());
    rig.advance(0.2);
    EXPECT_EQ(rig.fallbacks, (Pairs{{"usb-mic", "builtin-mic"}}));
    EXPECT_EQ(rig.allFailed, 0);
    rig.capture->setMuted(true);
    rig.advance(2.0);
    rig.backend.handler(AudioSystemEvent::configurationChanged);
    EXPECT_FALSE(rig.backend.running);
}

TEST(AudioDevicesList, FiltersInThePlatformsOrderAndAPortThatSaysBuiltInBeatsAFormFactor) {
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
    // Filtered, in the platform's order; no name: the UID stands in.
    EXPECT_EQ(devices.inputDevices(), (std::vector<AudioDevices::Device>{{1, "jack", "Mic jack"},
                                                                         {2, "usb-mic", "USB Mic"},
                                                                         {6, "unnamed", "unnamed"},
                                                                         {7, "internal", "Internal Mic"}}));
    EXPECT_EQ(devices.builtInMicrophone()->uid, "internal");  // a port that says so beats a form factor
    EXPECT_FALSE(devices.device("USB-MIC").has_value());      // exact match only
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
        SCOPED_TRACE(c.name);
        AudioRig rig;
        rig.backend.dev("usb-mic").startFails = c.usbFails;
        rig.backend.dev("builtin-mic").startFails = c.builtInFails;
        if (c.builtInAbsent) rig.backend.remove("builtin-mic");
        if (c.totalFailure)
            EXPECT_THROW(rig.capture->setDeviceUID(c.uid), CaptureError);
        else
            rig.capture->setDeviceUID(c.uid);
        EXPECT_EQ(rig.fallbacks, c.fallbacks);
        EXPECT_EQ(rig.capture->currentDeviceUID().value_or("none"), c.totalFailure ? "none" : "builtin-mic");
        EXPECT_EQ(rig.backend.running, !c.totalFailure);
        EXPECT_EQ(rig.allFailed, c.totalFailure ? 1 : 0);
        if (!c.totalFailure) continue;
        // Within the episode nothing reports it again and configuration changes are ignored.
        rig.advance(3);
        rig.backend.handler(AudioSystemEvent::configurationChanged);
        EXPECT_TRUE(rig.log.contains("audio: config change ignored — total failure state, re-select a mic to retry"));
        EXPECT_EQ(rig.allFailed, 1);
        EXPECT_THROW(rig.capture->setDeviceUID("usb-mic"), CaptureError);  // a new selection, a new episode
        EXPECT_EQ(rig.allFailed, 2);
    }
}

// No verdict on less than a second of audio, nor from a probe armed before a
// new selection or a mute. A silent choice then gives way to the built-in
// microphone; a built-in one that is silent too or will not start ends in one
// total failure, which lasts until the server's return brings a device the probe hears.
TEST(SilenceProbe, SilentChoiceFallsBackAndASilentOrDeadBuiltInIsOneTotalFailureUntilHeard) {
    for (const bool builtInStarts : {true, false}) {
        AudioRig rig;
        rig.backend.dev("usb-mic").level = 0;
        rig.backend.dev("builtin-mic").level = 5;  // RMS 5: silent as well
        rig.backend.dev("builtin-mic").startFails = !builtInStarts;
        rig.capture->setDeviceUID("usb-mic");
        rig.advance(0.7);
        rig.capture->stopEngine();  // the ring empties; the probe then has nothing to judge
        rig.advance(1.0);
        rig.capture->setDeviceUID("usb-mic");
        rig.advance(1.0);
        rig.capture->setMuted(true);
        rig.capture->setMuted(false);  // arms a fresh probe on the same silent device
        rig.advance(1.45);             // the earlier probes would have fired by now
        EXPECT_EQ(rig.backend.startedOn, (UIDs{"usb-mic", "usb-mic", "usb-mic"})) << "no verdict yet";
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

TEST(SystemAudioChunker, CutsExactChunksAcrossBuffersAndFormatChangesAndAFailureLosesOnlyItsBuffer) {
    FakeConverterFactory converters;
    SystemAudioChunker chunker{converters};
    AudioChunk out;
    std::size_t next = 0;  // the pattern sample the next frame the fake keeps (every rate/16000-th) carries
    const auto feed = [&](double rate, std::uint32_t channels, std::size_t frames) {
        std::vector<float> samples(frames * channels, 0.0f);
        for (std::size_t f = 0; f < frames; f += static_cast<std::size_t>(rate / 16000.0), ++next)
            std::fill_n(samples.begin() + static_cast<long>(f * channels), channels, patternSample(next) / 32768.0f);
        return chunker.process({samples.data(), frames, channels, rate}, into(out));
    };
    ASSERT_FALSE(feed(16000, 1, 1000));  // 2000 bytes: three chunks, 80 bytes wait
    converters.failWith = "converter broke";
    EXPECT_EQ(feed(16000, 1, 100), "converter broke");
    converters.failWith.reset();
    next -= 100;  // the failed buffer is lost whole, and only it
    // A resampler-like converter that holds output back, then two switches of
    // output (another rate and channel count): each flushes the old converter.
    converters.bursty = true;
    for (int i = 0; i < 5; ++i) ASSERT_FALSE(feed(48000, 2, 1023 * 3));
    for (int i = 0; i < 7; ++i) ASSERT_FALSE(feed(32000, 1, 777 * 2));
    ASSERT_FALSE(feed(16000, 1, 10));
    const std::size_t total = 1000 + 5 * 1023 + 7 * 777;  // the last converter still holds its 10
    EXPECT_EQ(out.size(), total / 320 * 640);
    expectPattern(out);
    EXPECT_EQ(chunker.pendingBytes(), total % 320 * 2);
    converters.refuse = true;
    EXPECT_EQ(feed(22050, 3, 100), "no converter from " + AudioStreamFormat({22050, 3}).description());
}

// The start waits for the sound server without holding anything else up. A
// total failure erases the choice and raises the badge until recovery; errors
// hop to the main thread.
TEST(AudioWiring, FirstLaunchRecordsTheBuiltInMicASavedChoiceWinsAndTotalFailureRaisesTheBadgeUntilRecovery) {
    WiringRig saved(true);
    saved.settings.setString(StatusBarController::micDeviceUIDKey, "  usb-1 \n");
    AudioWiring ws = saved.wiring();
    ws.setupAudio();
    EXPECT_EQ(saved.button.image.ops.back().kind, IconOp::Kind::strokeLine) << "the muted slash from the start";
    saved.whenReady();
    EXPECT_EQ(saved.applied.back(), "usb-1");

    WiringRig rig;
    AudioWiring w = rig.wiring();
    w.setupAudio();
    EXPECT_TRUE(rig.applied.empty());
    rig.whenReady();
    EXPECT_EQ(rig.savedWhenApplied, "builtin-uid");
    EXPECT_EQ(rig.applied, (std::vector<std::optional<std::string>>{"builtin-uid"}));
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
