#include "audio/Pcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace parlando;

TEST(RmsInt16, ReadsSignedLittleEndianSamplesInRawUnitsAndIgnoresALoneByte) {
    const std::pair<std::vector<std::int16_t>, double> cases[] = {
        {{}, 0.0}, {{3, -4}, std::sqrt(12.5)}, {{-32768, -32768}, 32768.0}, {{100, -100}, 100.0}};
    for (const auto& [samples, rms] : cases) {
        // Unaligned, with a trailing odd byte.
        AudioChunk bytes(samples.size() * 2 + 2, 0xff);
        if (!samples.empty()) std::memcpy(bytes.data() + 1, samples.data(), samples.size() * 2);
        EXPECT_DOUBLE_EQ(rmsInt16(bytes.data() + 1, bytes.size() - 1), rms);
    }
    EXPECT_EQ(formatSampleRate(22050.5) + " " + formatLevel(9.96), "22050.5 10.0");
}
