#include "audio/CaptureError.h"
#include "audio/Pcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace parlando;

namespace {
AudioChunk samples(std::initializer_list<std::int16_t> values) {
    AudioChunk out(values.size() * 2);
    std::size_t i = 0;
    for (auto v : values) std::memcpy(out.data() + 2 * i++, &v, 2);
    return out;
}
}  // namespace

TEST(RmsInt16, ReadsSignedSamplesInRawUnits) {
    EXPECT_DOUBLE_EQ(rmsInt16(AudioChunk{}), 0.0);
    EXPECT_DOUBLE_EQ(rmsInt16(AudioChunk{0x7f}), 0.0);  // a lone byte is no sample
    EXPECT_DOUBLE_EQ(rmsInt16(samples({3, -4})), std::sqrt(12.5));
    EXPECT_DOUBLE_EQ(rmsInt16(samples({-32768, -32768})), 32768.0);
    auto odd = samples({100, -100});
    odd.push_back(0xff);  // trailing odd byte ignored
    EXPECT_DOUBLE_EQ(rmsInt16(odd), 100.0);
    // Unaligned start is fine.
    AudioChunk shifted(5);
    const std::int16_t v = 1000;
    std::memcpy(shifted.data() + 1, &v, 2);
    std::memcpy(shifted.data() + 3, &v, 2);
    EXPECT_DOUBLE_EQ(rmsInt16(shifted.data() + 1, 4), 1000.0);
}

TEST(LogFormats, RatesAlwaysShowAFractionAndLevelsOneDecimal) {
    EXPECT_EQ(formatSampleRate(22050.5), "22050.5");
    EXPECT_EQ(formatLevel(9.96), "10.0");
    EXPECT_STREQ(CaptureError::noInputDevice().what(), "No audio input device available");
}
