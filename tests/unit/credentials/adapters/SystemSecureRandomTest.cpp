#include "credentials/adapters/SystemSecureRandom.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

using namespace parlando;

TEST(SystemSecureRandom, FillsEveryByteWithFreshValues) {
    SystemSecureRandom random;
    std::set<std::vector<std::uint8_t>> keys;
    for (int i = 0; i < 16; ++i) {
        std::vector<std::uint8_t> key(32, 0);
        ASSERT_FALSE(random.fill(key));
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 16u) << "no two 32-byte draws repeat";
    // A large buffer is filled to its last byte (getrandom may return short reads).
    std::vector<std::uint8_t> big(1 << 20, 0);
    ASSERT_FALSE(random.fill(big));
    EXPECT_NE(std::vector<std::uint8_t>(big.end() - 64, big.end()), std::vector<std::uint8_t>(64, 0));
    EXPECT_FALSE(random.fill(std::span<std::uint8_t>{}));
}
