#include "dictation/DictationText.h"

#include <charconv>
#include <cstdint>

namespace parlando::dictation_text {
namespace {

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes the code point starting at i; len receives its byte length (1 for bad bytes).
char32_t decodeAt(std::string_view s, std::size_t i, std::size_t& len) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 1;
    char32_t cp = c;
    if (c >= 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else if (c >= 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else {
        len = 1;
        return cp;
    }
    if (i + n > s.size()) {
        len = 1;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (!isContinuation(b)) {
            len = 1;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    len = n;
    return cp;
}

bool isSpace(char32_t cp) {
    switch (cp) {
    case U' ': case U'\t': case U'\n': case U'\v': case U'\f': case U'\r':
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return cp >= 0x2000 && cp <= 0x200A;
    }
}

}  // namespace

std::string trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t len = 1;
        if (!isSpace(decodeAt(text, begin, len))) break;
        begin += len;
    }
    std::size_t end = begin;  // one past the last non-space character
    for (std::size_t i = begin; i < text.size();) {
        std::size_t len = 1;
        const bool space = isSpace(decodeAt(text, i, len));
        i += len;
        if (!space) end = i;
    }
    return std::string(text.substr(begin, end - begin));
}

std::size_t characterCount(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = 1;
        decodeAt(text, i, len);
        i += len;
        ++n;
    }
    return n;
}

std::string prefix(std::string_view text, std::size_t n) {
    std::size_t i = 0;
    for (std::size_t k = 0; k < n && i < text.size(); ++k) {
        std::size_t len = 1;
        decodeAt(text, i, len);
        i += len;
    }
    return std::string(text.substr(0, i));
}

std::string oneDecimal(double value) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
    if (r.ec != std::errc()) return "nan";
    return std::string(buf, r.ptr);
}

}  // namespace parlando::dictation_text
