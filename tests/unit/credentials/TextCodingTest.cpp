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
    EXPECT_TRUE(isValidUTF8("ключ • 🔑"));
    // Truncated, overlong, a surrogate, beyond U+10FFFF, a stray byte.
    for (const char* bad : {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff"})
        EXPECT_FALSE(isValidUTF8(bad)) << bad;
}

TEST(TextCoding, TrimRemovesOnlyOuterWhiteSpaceOfAnyKind) {
    EXPECT_EQ(trimWhitespaceAndNewlines(" \t\r\n\v\f"), "");
    EXPECT_EQ(trimWhitespaceAndNewlines("\u3000\u00a0 ключ с пробелом \u2029\u0085"), "ключ с пробелом");
    EXPECT_EQ(trimWhitespaceAndNewlines("\u200bx\u200b"), "\u200bx\u200b") << "zero-width space is not white space";
    EXPECT_EQ(trimWhitespaceAndNewlines(" \xff "), "\xff") << "stray bytes are content";
}
