// The system-audio sample path on a fake converter whose output is a counter,
// so any lost, doubled or reordered sample shows up in the chunks.
#include "audio/SystemAudioChunker.h"
#include "fakes/FakeAudio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

using namespace parlando;
using namespace parlando::testing;

namespace {

struct ChunkerRig {
    FakeConverterFactory converters;
    SystemAudioChunker chunker{converters};
    std::vector<std::int16_t> out;  // every chunk's samples, in order
    std::int16_t next = 1;          // the value the next kept frame carries

    // A buffer whose frames the fake keeps (every rate/16000-th) carry the counter.
    std::optional<std::string> feed(double rate, std::uint32_t channels, std::size_t frames) {
        const auto step = static_cast<std::size_t>(rate / 16000.0);
        std::vector<float> samples(frames * channels, 0.0f);
        for (std::size_t f = 0; f < frames; f += step, ++next) {
            for (std::uint32_t c = 0; c < channels; ++c) samples[f * channels + c] = next / 32768.0f;
        }
        return chunker.process({samples.data(), frames, channels, rate}, [this](const AudioChunk& c) {
            ASSERT_EQ(c.size(), 640u);
            out.resize(out.size() + 320);
            std::memcpy(out.data() + out.size() - 320, c.data(), 640);
        });
    }
    bool countsUpTo(std::size_t last) const {
        std::vector<std::int16_t> expected(last);
        std::iota(expected.begin(), expected.end(), std::int16_t{1});
        return out == expected;
    }
};

}  // namespace

TEST(SystemAudioChunker, CutsExactChunksAcrossBuffersAndFormatChanges) {
    ChunkerRig rig;
    ASSERT_FALSE(rig.feed(16000, 1, 1000));  // 2000 bytes: three chunks, 80 bytes wait
    EXPECT_EQ(rig.out.size(), 960u);
    EXPECT_EQ(rig.chunker.pendingBytes(), 80u);
    // A resampler-like converter that holds output back, then two switches of
    // output (another rate and channel count): each flushes the old converter.
    rig.converters.bursty = true;
    for (int i = 0; i < 5; ++i) ASSERT_FALSE(rig.feed(48000, 2, 1023 * 3));
    for (int i = 0; i < 7; ++i) ASSERT_FALSE(rig.feed(32000, 1, 777 * 2));
    ASSERT_FALSE(rig.feed(16000, 1, 10));
    EXPECT_EQ(rig.converters.made, 4);
    const int total = 1000 + 5 * 1023 + 7 * 777;  // the last converter still holds its 10
    EXPECT_TRUE(rig.countsUpTo(static_cast<std::size_t>(total / 320 * 320)));
    EXPECT_EQ(rig.chunker.pendingBytes(), static_cast<std::size_t>(total % 320 * 2));
}

TEST(SystemAudioChunker, AFailureLosesOnlyItsBuffer) {
    ChunkerRig rig;
    ASSERT_FALSE(rig.feed(16000, 1, 100));
    rig.converters.last->failWith = "converter broke";
    EXPECT_EQ(rig.feed(16000, 1, 100), "converter broke");
    rig.converters.last->failWith.reset();
    rig.next = 101;  // the failed buffer is lost whole; counting resumes after the good one
    ASSERT_FALSE(rig.feed(16000, 1, 220));
    EXPECT_TRUE(rig.countsUpTo(320));
    rig.converters.refuse = true;
    EXPECT_EQ(rig.feed(22050, 3, 100), "no converter from " + AudioStreamFormat({22050, 3}).description());
}
