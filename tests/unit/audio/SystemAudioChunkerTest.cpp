// The system-audio sample path on a fake converter whose output is a counter,
// so any lost, doubled or reordered sample shows up in the chunks.
#include "audio/SystemAudioChunker.h"
#include "fakes/FakeAudio.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace parlando;
using namespace parlando::testing;

namespace {

struct ChunkerRig {
    FakeConverterFactory converters;
    SystemAudioChunker chunker{converters};
    std::vector<AudioChunk> chunks;
    std::int16_t next = 1;  // the value the next kept frame carries

    // A buffer whose frames the fake keeps (every rate/16000-th) carry the counter.
    std::optional<std::string> feed(double rate, std::uint32_t channels, std::size_t frames) {
        const auto step = static_cast<std::size_t>(rate / 16000.0);
        std::vector<float> samples(frames * channels, 0.0f);
        for (std::size_t f = 0; f < frames; f += step) {
            for (std::uint32_t c = 0; c < channels; ++c) samples[f * channels + c] = next / 32768.0f;
            ++next;
        }
        return chunker.process({samples.data(), frames, channels, rate},
                               [this](const AudioChunk& c) { chunks.push_back(c); });
    }
    // Every chunk is 640 bytes and together they hold 1, 2, 3, ... without a gap.
    void expectCountingUpTo(std::size_t samples) {
        ASSERT_EQ(chunks.size(), samples / 320);
        std::int16_t expected = 1;
        for (const auto& c : chunks) {
            ASSERT_EQ(c.size(), 640u);
            std::int16_t s[320];
            std::memcpy(s, c.data(), 640);
            for (auto v : s) ASSERT_EQ(v, expected++);
        }
    }
};

}  // namespace

TEST(SystemAudioChunker, CutsExactChunksAndCarriesTheRestIntoTheNextBuffer) {
    ChunkerRig rig;
    ASSERT_FALSE(rig.feed(16000, 1, 1000));  // 2000 bytes: three chunks, 80 bytes wait
    EXPECT_EQ(rig.chunks.size(), 3u);
    EXPECT_EQ(rig.chunker.pendingBytes(), 80u);
    ASSERT_FALSE(rig.feed(16000, 1, 280));  // 80 + 560 bytes: exactly one more
    EXPECT_EQ(rig.chunker.pendingBytes(), 0u);
    rig.expectCountingUpTo(1280);
    EXPECT_FALSE(rig.feed(16000, 1, 0));  // empty buffers change nothing
    EXPECT_EQ(rig.converters.made, 1);
}

TEST(SystemAudioChunker, AFormatChangeRebuildsTheConverterOnceAndLosesNothing) {
    ChunkerRig rig;
    rig.converters.bursty = true;  // a converter that holds output back, like a resampler
    for (int i = 0; i < 5; ++i) ASSERT_FALSE(rig.feed(48000, 2, 1023 * 3));
    // The user switched outputs: the new monitor runs at another rate, mono.
    for (int i = 0; i < 7; ++i) ASSERT_FALSE(rig.feed(32000, 1, 777 * 2));
    EXPECT_EQ(rig.converters.made, 2);
    EXPECT_EQ(rig.chunker.format().sampleRate, 32000.0);
    // Another switch flushes what the second converter held back.
    ASSERT_FALSE(rig.feed(16000, 1, 10));
    const std::size_t total = 5 * 1023 + 7 * 777;
    rig.expectCountingUpTo(total);
    EXPECT_EQ(rig.chunker.pendingBytes(), (total % 320) * 2);
}

TEST(SystemAudioChunker, FailuresLoseOnlyTheirBufferAndResetStartsClean) {
    ChunkerRig rig;
    ASSERT_FALSE(rig.feed(16000, 1, 100));
    rig.converters.last->failWith = "converter broke";
    EXPECT_EQ(rig.feed(16000, 1, 100), "converter broke");
    rig.converters.last->failWith.reset();
    rig.next = 101;  // the failed buffer is lost whole; counting resumes after the good one
    ASSERT_FALSE(rig.feed(16000, 1, 220));
    rig.expectCountingUpTo(320);

    rig.converters.refuse = true;
    const AudioStreamFormat odd{22050, 3};
    EXPECT_EQ(rig.feed(22050, 3, 100), "no converter from " + odd.description());
    rig.chunker.reset();
    EXPECT_EQ(rig.chunker.pendingBytes(), 0u);
    rig.converters.refuse = false;
    rig.chunks.clear();
    rig.next = 1;
    ASSERT_FALSE(rig.feed(16000, 1, 320));
    rig.expectCountingUpTo(320);
}
