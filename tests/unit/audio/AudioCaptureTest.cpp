// The engine core: mute switch, chunking, pre-roll ring, subscribers, signal
// detection, start errors, and the pre-roll shared with the audio thread.
#include "AudioRig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

using namespace parlando;
using namespace parlando::testing;

namespace {

// A counting pattern of 16-bit samples: consecutive samples differ by 7919
// (mod 2^16), so any lost, doubled or reordered byte shows.
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

// Every byte of `bytes` is the pattern from sample `first` on.
void expectPattern(const AudioChunk& bytes, std::size_t first = 0) {
    for (std::size_t i = 0; i < bytes.size() / 2; ++i) ASSERT_EQ(sampleAt(bytes, i), patternSample(first + i)) << i;
}

AudioChunk joined(const std::vector<AudioChunk>& chunks) {
    AudioChunk out;
    for (const auto& c : chunks) {
        EXPECT_EQ(c.size(), 640u);
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

}  // namespace

TEST(AudioCaptureMute, FreshInstallationStartsMutedAndTheSwitchIsPersistedAndAnnouncedOnceLater) {
    AudioRig rig(std::nullopt);
    expectCaptureError([&] { rig.capture->ensureRunning(); }, CaptureError::Kind::muted,
                       "Parlando muted — turn on Listening in the menu");
    rig.backend.dev("usb-mic").startFails = true;  // a failed start does not undo the unmute
    rig.capture->setDeviceUID("usb-mic");
    rig.capture->setMuted(false);
    EXPECT_EQ(rig.settings.getBool(AudioCapture::mutedKey), false);
    EXPECT_EQ(rig.capture->currentDeviceUID(), "builtin-mic");
    EXPECT_TRUE(rig.muted.empty()) << "onMutedChange must not run inline";
    rig.capture->setMuted(true);
    rig.capture->setMuted(true);
    rig.loop.runPending();
    EXPECT_FALSE(rig.backend.running);
    EXPECT_EQ(rig.muted, (std::vector<bool>{false, true}));
}

TEST(AudioCaptureChunks, ExactChunksInOrderForEachLaterSubscriberWhateverTheBuffersAndTheRingHoldsTheLast75) {
    AudioRig rig;
    rig.monoMic();
    PatternFeed feed{*rig.capture};
    feed.push(3200);  // 10 chunks nobody hears
    std::vector<AudioChunk> a, b;
    const auto ida = rig.capture->subscribe([&](const AudioChunk& c) { a.push_back(c); });
    rig.capture->subscribe([&](const AudioChunk& c) { b.push_back(c); });
    feed.push(341);  // 682 bytes: one chunk, 42 bytes held for the next
    ASSERT_EQ(a, b);
    expectPattern(joined(a), 3200);
    rig.capture->unsubscribe(ida);
    rig.capture->unsubscribe(999999);  // unknown: nothing
    rig.converters.last->failWith = "converter broke";
    feed.push(640);
    EXPECT_EQ(rig.errors, std::vector<std::string>{"converter broke"});
    rig.converters.last->failWith.reset();
    feed.push(640);
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(b.size(), 3u) << "a failed buffer is dropped, the next one delivered";

    std::mt19937 random(42);
    std::uniform_int_distribution<std::size_t> size(1, 2500);
    for (const bool bursty : {false, true}) {
        // Also with a resampler that holds output back and releases it in bursts.
        rig.converters.bursty = bursty;
        rig.capture->stopEngine();
        rig.capture->startEngine();
        b.clear();
        feed.position = 0;
        while (feed.position < 16000 * 3) feed.push(size(random));
        feed.push(1);
        feed.push(1);  // one of the last two calls releases what was held
        EXPECT_NEAR(static_cast<double>(b.size()), static_cast<double>(feed.position / 320), bursty ? 1.0 : 0.0);
        expectPattern(joined(b));
    }
    const AudioChunk snap = rig.capture->preRollSnapshot();
    ASSERT_EQ(snap.size(), 48000u);
    expectPattern(snap, (b.size() - 75) * 320);
}

TEST(AudioCaptureSignal, FollowsTheLevelOfTheLastSecondAndAnnouncesOnlyChanges) {
    AudioRig rig;
    rig.capture->setDeviceUID("usb-mic");
    rig.advance(0.95);  // under a second of audio: unchanged
    EXPECT_FALSE(rig.capture->hasSignal());
    rig.advance(2);
    rig.backend.dev("usb-mic").level = 20;  // no tray signal, but not silent for the probe either
    rig.advance(3);
    EXPECT_TRUE(rig.fallbacks.empty());
    rig.backend.dev("usb-mic").level = 1000;
    rig.advance(2);
    rig.capture->setMuted(true);
    rig.advance(1);
    EXPECT_EQ(rig.availability, (std::vector<bool>{true, false}));
    EXPECT_EQ(rig.signal, (std::vector<bool>{true, false, true, false}));
}

TEST(AudioCaptureStart, ReportsWhyItCannotStartAndNeverHandsOutAudioFromBeforeAStart) {
    AudioRig rig;
    rig.backend.dev("usb-mic").info.nominalSampleRate = 44100;
    rig.converters.refuse = true;
    const auto start = [&] { rig.capture->ensureRunning(); };
    expectCaptureError(start, CaptureError::Kind::formatUnsupported,
                       "Unsupported input format: converter init from <2 ch, 44100.0 Hz, Float32, interleaved>");
    rig.converters.refuse = false;
    rig.backend.dev("usb-mic").startFails = true;
    expectCaptureError(start, CaptureError::Kind::engineStartFailed,
                       "Audio engine failed to start: device refused to start");
    rig.backend.dev("usb-mic").startFails = false;
    rig.capture->ensureRunning();
    rig.capture->ensureRunning();  // running: nothing
    EXPECT_EQ(rig.backend.startedOn, (std::vector<std::string>{"usb-mic", "usb-mic"}));
    // A stream that died on its own (nobody called stop) leaves no stale pre-roll.
    rig.advance(2);
    rig.backend.running = false;
    rig.capture->ensureRunning();
    EXPECT_TRUE(rig.capture->preRollSnapshot().empty());
}

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
    for (int checked = 0; checked < 200;) {
        // Per-round state on the heap: a delivery already under way when we
        // unsubscribe may still reach this round's handler.
        constexpr int none = 1 << 20;
        auto first = std::make_shared<std::atomic<int>>(none);
        AudioChunk preRoll;
        const auto id = rig.capture->subscribe(
            [first](const AudioChunk& c) {
                int expected = none;
                first->compare_exchange_strong(expected, sampleAt(c, 0));
            },
            &preRoll);
        while (*first == none) std::this_thread::yield();
        rig.capture->unsubscribe(id);
        if (preRoll.size() < 640) continue;  // the ring is still filling
        const auto gap = static_cast<std::uint16_t>(*first - sampleAt(preRoll, preRoll.size() / 2 - 1));
        ASSERT_EQ(gap, 7919) << "a chunk was lost or sent twice between the pre-roll and the first live chunk";
        ++checked;
    }
    stop = true;
    audio.join();
}
