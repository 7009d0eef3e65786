#pragma once
// Small text helpers for stored secrets: trimming, UTF-8 validation, Base64.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace parlando::textcoding {

// Removes white space and line breaks from both ends, including the Unicode
// ones a copy from a web page tends to bring along (no-break space, line
// separator, ideographic space, ...). Invalid UTF-8 is left untouched.
std::string trimWhitespaceAndNewlines(std::string_view text);

bool isValidUTF8(std::string_view bytes);

// Standard alphabet, with padding, no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);
// Strict: the standard alphabet only, length a multiple of four, padding only
// at the end. None for anything else.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

// A decimal signed 32-bit integer: an optional sign and digits, nothing else.
std::optional<std::int32_t> parseInt32(std::string_view text);

}  // namespace parlando::textcoding
