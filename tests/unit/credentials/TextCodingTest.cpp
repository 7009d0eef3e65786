#include "credentials/TextCoding.h"

#include <gtest/gtest.h>

using namespace parlando::textcoding;

TEST(TextCoding, Base64RoundTripsEveryLengthAroundABlock) {
    for (std::size_t n = 0; n < 40; ++n) {
        std::vector<std::uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 250);
        const std::string text = base64Encode(bytes);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(base64Decode(text), bytes) << "length " << n;
    }
    EXPECT_EQ(base64Encode(std::vector<std::uint8_t>{'f', 'o', 'o', 'b', 'a'}), "Zm9vYmE=");
    EXPECT_EQ(base64Encode(std::vector<std::uint8_t>{0xfb, 0xff}), "+/8=");
}

TEST(TextCoding, Base64DecodingIsStrict) {
    for (const char* bad : {"Zm9vYmE", "Zm9v YmE=", "Zm9vYm==E", "Zm=vYmE=", "=m9vYmE=", "Zm9vYmE-", "Zm9vYmE_",
                            "A===", "Zm9vYmE=\n"}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
    EXPECT_EQ(base64Decode(""), std::vector<std::uint8_t>{});
}

TEST(TextCoding, UTF8Validation) {
    EXPECT_TRUE(isValidUTF8("plain"));
    EXPECT_TRUE(isValidUTF8("ключ • 🔑"));
    EXPECT_FALSE(isValidUTF8("\xc3"));              // truncated
    EXPECT_FALSE(isValidUTF8("\xc0\xaf"));          // overlong
    EXPECT_FALSE(isValidUTF8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(isValidUTF8("\xf4\x90\x80\x80"));  // beyond U+10FFFF
    EXPECT_FALSE(isValidUTF8("\xff"));
}

TEST(TextCoding, TrimRemovesOnlyOuterWhiteSpaceOfAnyKind) {
    EXPECT_EQ(trimWhitespaceAndNewlines(" \t\r\n\v\f"), "");
    EXPECT_EQ(trimWhitespaceAndNewlines("\u3000\u00a0 ключ с пробелом \u2029\u0085"), "ключ с пробелом");
    EXPECT_EQ(trimWhitespaceAndNewlines("\u200bx\u200b"), "\u200bx\u200b") << "zero-width space is not white space";
    EXPECT_EQ(trimWhitespaceAndNewlines(" \xff "), "\xff") << "stray bytes are content";
}

TEST(TextCoding, Int32ParsingAcceptsASignAndDigitsOnly) {
    EXPECT_EQ(parseInt32("0"), 0);
    EXPECT_EQ(parseInt32("-2147483648"), INT32_MIN);
    EXPECT_EQ(parseInt32("2147483647"), INT32_MAX);
    EXPECT_EQ(parseInt32("007"), 7);
    for (const char* bad : {"", "+", "2147483648", "-2147483649", " 1", "1 ", "1e3", "12a", "--1"})
        EXPECT_FALSE(parseInt32(bad)) << bad;
}
