// The engine core: mute switch, chunking, pre-roll ring, subscribers, signal
// detection and change notifications.
#include "AudioRig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

using namespace parlando;
using namespace parlando::testing;

namespace {

// A counting pattern of 16-bit samples, so that any lost, doubled or reordered byte shows.
std::int16_t patternSample(std::size_t i) { return static_cast<std::int16_t>(i * 7919 % 65536 - 32768); }

std::int16_t sampleAt(const AudioChunk& bytes, std::size_t i) {
    std::int16_t v;
    std::memcpy(&v, bytes.data() + 2 * i, 2);
    return v;
}

struct PatternFeed {
    AudioCapture& capture;
    std::size_t position = 0;
    void push(std::size_t frames) {
        std::vector<float> buf(frames);
        for (std::size_t i = 0; i < frames; ++i) buf[i] = static_cast<float>(patternSample(position + i)) / 32768.0f;
        capture.process(AudioBufferView{buf.data(), frames, 1, 16000});
        position += frames;
    }
};

// Chunk c carries pattern samples [first + 320c, first + 320c + 320).
void expectPattern(const std::vector<AudioChunk>& chunks, std::size_t first = 0) {
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        ASSERT_EQ(chunks[c].size(), 640u);
        for (std::size_t i = 0; i < 320; ++i) ASSERT_EQ(sampleAt(chunks[c], i), patternSample(first + c * 320 + i));
    }
}

}  // namespace

TEST(AudioCaptureMute, FreshInstallationStartsMutedAndTheSwitchIsPersistedLoggedOnceAndAnnouncedLater) {
    AudioRig rig(std::nullopt);
    rig.typicalDevices();
    expectCaptureError([&] { rig.capture->ensureRunning(); }, CaptureError::Kind::muted,
                       "Parlando muted — turn on Listening in the menu");
    rig.capture->setMuted(true);  // already muted: nothing
    EXPECT_FALSE(rig.settings.contains(AudioCapture::mutedKey));
    EXPECT_EQ(rig.backend.starts, 0);

    rig.capture->setMuted(false);
    EXPECT_EQ(rig.settings.getBool(AudioCapture::mutedKey), false);
    EXPECT_TRUE(rig.backend.running);
    EXPECT_TRUE(rig.muted.empty()) << "onMutedChange must not run inline";
    rig.capture->setMuted(true);
    rig.capture->setMuted(true);
    rig.loop.runPending();
    EXPECT_EQ(rig.log.count("audio: muted = true"), 1u);
    EXPECT_EQ(rig.settings.getBool(AudioCapture::mutedKey), true);
    EXPECT_FALSE(rig.backend.running);
    EXPECT_EQ(rig.muted, (std::vector<bool>{false, true}));
    EXPECT_FALSE(AudioRig(false).capture->isMuted()) << "the stored value wins over the default";
}

TEST(AudioCaptureMute, FailedStartAfterUnmuteKeepsListeningOnAndFallsBack) {
    AudioRig rig(true);
    rig.typicalDevices();
    rig.backend.dev("usb-mic").startFails = true;
    rig.capture->setDeviceUID("usb-mic");  // muted: only recorded
    rig.capture->setMuted(false);
    EXPECT_FALSE(rig.capture->isMuted());
    EXPECT_TRUE(rig.log.contains("audio: unmute failed — Audio engine failed to start: device refused to start"));
    EXPECT_EQ(rig.capture->currentDeviceUID(), "builtin-mic");
    EXPECT_TRUE(rig.backend.running);
    EXPECT_EQ(rig.fallbacks, (std::vector<std::pair<std::string, std::string>>{{"usb-mic", "builtin-mic"}}));
}

TEST(AudioCaptureChunks, ExactChunksInOrderWhateverTheBufferSizesOrBurstsAndTheRingHoldsTheLast75) {
    AudioRig rig;
    rig.monoMic();
    std::vector<AudioChunk> chunks;
    rig.capture->subscribe([&](const AudioChunk& c) { chunks.push_back(c); });
    PatternFeed feed{*rig.capture};
    feed.push(341);  // 682 bytes: one chunk, 42 bytes held for the next
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(rig.capture->preRollSnapshot().size(), 640u);
    std::mt19937 random(42);
    std::uniform_int_distribution<std::size_t> size(1, 2500);
    while (feed.position < 16000 * 3) feed.push(size(random));
    ASSERT_EQ(chunks.size(), feed.position / 320);
    // A resampler that holds output back and releases it in bursts.
    rig.converters.bursty = true;
    rig.capture->stopEngine();
    rig.capture->startEngine();
    chunks.clear();
    feed.position = 0;
    while (feed.position < 16000 * 3) feed.push(size(random));
    feed.push(1);
    feed.push(1);  // one of the last two calls releases what was held
    ASSERT_NEAR(static_cast<double>(chunks.size()), static_cast<double>(feed.position / 320), 1.0);
    expectPattern(chunks);

    const AudioChunk snap = rig.capture->preRollSnapshot();
    ASSERT_EQ(snap.size(), 48000u);
    const std::size_t first = (chunks.size() - 75) * 320;
    for (std::size_t i = 0; i < 24000; ++i) ASSERT_EQ(sampleAt(snap, i), patternSample(first + i));
}

TEST(AudioCaptureSubscribers, SeeOnlyLaterChunksStopAtUnsubscribeAndSkipFailedConversions) {
    AudioRig rig;
    rig.monoMic();
    PatternFeed feed{*rig.capture};
    feed.push(3200);  // 10 chunks nobody hears
    std::vector<AudioChunk> a, b;
    const auto ida = rig.capture->subscribe([&](const AudioChunk& c) { a.push_back(c); });
    rig.capture->subscribe([&](const AudioChunk& c) { b.push_back(c); });
    feed.push(3200);
    ASSERT_EQ(a.size(), 10u);
    EXPECT_EQ(a, b);
    expectPattern(a, 3200);

    rig.capture->unsubscribe(ida);
    rig.capture->unsubscribe(ida);     // twice: nothing
    rig.capture->unsubscribe(999999);  // unknown: nothing
    feed.push(640);
    EXPECT_EQ(a.size(), 10u);
    EXPECT_EQ(b.size(), 12u);

    // A stop empties the ring but keeps the subscribers.
    rig.capture->stopEngine();
    EXPECT_TRUE(rig.capture->preRollSnapshot().empty());
    rig.capture->startEngine();
    rig.converters.last->failWith = "converter broke";
    feed.push(640);
    EXPECT_EQ(rig.errors, std::vector<std::string>{"converter broke"});
    EXPECT_EQ(b.size(), 12u) << "a failed buffer is dropped";
    rig.converters.last->failWith.reset();
    feed.push(640);
    EXPECT_EQ(b.size(), 14u);
}

TEST(AudioCaptureSignal, FollowsTheLevelOfTheLastSecondAndAnnouncesOnlyChanges) {
    AudioRig rig;
    rig.typicalDevices();
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(0.95);  // under a second of audio: unchanged
    EXPECT_FALSE(rig.capture->hasSignal());
    rig.advance(1.1);
    EXPECT_TRUE(rig.capture->hasSignal());
    rig.advance(5);
    // RMS 20: no tray signal, but not silent for the probe either.
    rig.backend.dev("usb-mic").level = 20;
    rig.advance(2);
    EXPECT_FALSE(rig.capture->hasSignal());
    EXPECT_TRUE(rig.fallbacks.empty());
    rig.backend.dev("usb-mic").level = 1000;
    rig.advance(2);
    rig.capture->setMuted(true);
    rig.advance(1);
    EXPECT_FALSE(rig.capture->hasSignal());
    EXPECT_EQ(rig.availability, (std::vector<bool>{true, false}));
    EXPECT_EQ(rig.signal, (std::vector<bool>{true, false, true, false}));
}

TEST(AudioCaptureStart, ReportsWhyItCannotStart) {
    AudioRig rig;
    rig.typicalDevices();
    rig.backend.dev("usb-mic").info.nominalSampleRate = 44100;
    rig.converters.refuse = true;
    const auto start = [&] { rig.capture->ensureRunning(); };
    expectCaptureError(start, CaptureError::Kind::formatUnsupported,
                       "Unsupported input format: converter init from <2 ch, 44100.0 Hz, Float32, interleaved>");
    EXPECT_FALSE(rig.capture->isAvailable());
    rig.converters.refuse = false;
    rig.backend.dev("usb-mic").startFails = true;
    expectCaptureError(start, CaptureError::Kind::engineStartFailed,
                       "Audio engine failed to start: device refused to start");
    rig.backend.available = false;
    expectCaptureError(start, CaptureError::Kind::noInputDevice);

    rig.backend.available = true;
    rig.backend.dev("usb-mic").startFails = false;
    rig.capture->ensureRunning();
    EXPECT_TRUE(rig.capture->isAvailable());
    const int starts = rig.backend.starts;
    rig.capture->ensureRunning();  // running: nothing
    EXPECT_EQ(rig.backend.starts, starts);
}

// A stream that dies under the engine (server gone, device yanked) must not
// leave old audio to be handed out as the pre-roll of the next start.
TEST(AudioCaptureStart, RestartAfterADeadStreamBeginsWithAnEmptyPreRoll) {
    AudioRig rig;
    rig.typicalDevices();
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(2);
    ASSERT_EQ(rig.capture->preRollSnapshot().size(), 48000u);
    rig.backend.running = false;  // died on its own, nobody called stop
    rig.advance(1);
    rig.capture->ensureRunning();
    EXPECT_TRUE(rig.capture->preRollSnapshot().empty());
    rig.advance(0.5);
    EXPECT_EQ(rig.capture->preRollSnapshot().size(), 25u * 640u);
}

namespace {
bool waitUntil(const std::function<bool()>& pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}
}  // namespace

// A subscriber that takes the pre-roll in the same step must see the stream
// continue exactly where the pre-roll ends, while the audio thread runs (and
// ThreadSanitizer watches the ring shared by both threads).
TEST(AudioCaptureThreads, PreRollAndSubscriptionTakenTogetherLeaveNoGapAndNoOverlap) {
    AudioRig rig;
    rig.monoMic();
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        PatternFeed feed{*rig.capture};
        while (!stop) feed.push(331);
    });
    // Consecutive frames differ by 7919 in the pattern (mod 2^16).
    auto follows = [](std::int16_t earlier, std::int16_t later) {
        const auto e = static_cast<std::uint16_t>(earlier + 32768), l = static_cast<std::uint16_t>(later + 32768);
        return static_cast<std::uint16_t>(l - e) == 7919;
    };
    int checked = 0;
    while (checked < 200) {
        // Per-round state on the heap: a delivery already under way when we
        // unsubscribe may still reach this round's handler.
        struct Round {
            std::mutex m;
            std::vector<AudioChunk> live;
        };
        auto round = std::make_shared<Round>();
        AudioChunk preRoll;
        const auto id = rig.capture->subscribe(
            [round](const AudioChunk& c) {
                std::lock_guard lock(round->m);
                round->live.push_back(c);
            },
            &preRoll);
        ASSERT_TRUE(waitUntil([&] {
            std::lock_guard lock(round->m);
            return !round->live.empty();
        }));
        rig.capture->unsubscribe(id);
        if (preRoll.size() < 640) continue;  // the ring is still filling
        std::lock_guard lock(round->m);
        ASSERT_TRUE(follows(sampleAt(preRoll, preRoll.size() / 2 - 1), sampleAt(round->live.front(), 0)))
            << "a chunk was lost or sent twice between the pre-roll and the first live chunk";
        ++checked;
    }
    stop = true;
    audio.join();
}
