#pragma once
// Small text helpers of the dictation: trimming the service's results and
// counting characters (code points, so Cyrillic text is not cut mid-letter).
#include <cstddef>
#include <string>
#include <string_view>

namespace parlando::dictation_text {

// Removes white space and line breaks (ASCII and the Unicode space separators) from both ends.
std::string trimmed(std::string_view text);
// Number of characters (code points) of UTF-8 text.
std::size_t characterCount(std::string_view text);
// The first n characters of UTF-8 text.
std::string prefix(std::string_view text, std::size_t n);
// A number with one decimal, "%.1f", independent of the process locale.
std::string oneDecimal(double value);

}  // namespace parlando::dictation_text
