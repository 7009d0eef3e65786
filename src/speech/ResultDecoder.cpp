#include "speech/ResultDecoder.h"

#include <nlohmann/json.hpp>

#include <limits>

namespace parlando {

namespace {

using nlohmann::json;

// "channel_index" counts only when it is a non-empty array of integers.
std::optional<int> firstChannelIndex(const json& message) {
    const auto it = message.find("channel_index");
    if (it == message.end() || !it->is_array() || it->empty()) return std::nullopt;
    std::optional<int> first;
    for (const auto& element : *it) {
        if (!element.is_number_integer()) return std::nullopt;
        if (element.is_number_unsigned()) {
            const auto v = element.get<std::uint64_t>();
            if (v > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) return std::nullopt;
            if (!first) first = static_cast<int>(v);
        } else {
            const auto v = element.get<std::int64_t>();
            if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) return std::nullopt;
            if (!first) first = static_cast<int>(v);
        }
    }
    return first;
}

}  // namespace

std::optional<Transcript> decodeResultMessage(std::string_view text) {
    // Invalid UTF-8 makes the parser fail, which is what we want: ignored.
    const json message = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (!message.is_object()) return std::nullopt;

    const auto type = message.find("type");
    if (type != message.end() && type->is_string() && type->get_ref<const std::string&>() != "Results") {
        return std::nullopt;
    }

    const auto channel = message.find("channel");
    if (channel == message.end() || !channel->is_object()) return std::nullopt;
    const auto alternatives = channel->find("alternatives");
    if (alternatives == channel->end() || !alternatives->is_array() || alternatives->empty()) return std::nullopt;
    for (const auto& alternative : *alternatives) {
        if (!alternative.is_object()) return std::nullopt;
    }
    const auto& best = alternatives->front();
    const auto transcript = best.find("transcript");
    if (transcript == best.end() || !transcript->is_string()) return std::nullopt;

    Transcript result;
    result.text = transcript->get<std::string>();
    const auto isFinal = message.find("is_final");
    result.isFinal = isFinal != message.end() && isFinal->is_boolean() && isFinal->get<bool>();
    result.channelIndex = firstChannelIndex(message);
    const auto start = message.find("start");
    if (start != message.end() && start->is_number()) result.start = start->get<double>();

    // An empty final marks the end of an utterance; an empty interim says nothing.
    if (result.text.empty() && !result.isFinal) return std::nullopt;
    return result;
}

bool isValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra = 0;
        std::uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (end - p <= extra) return false;
        for (int i = 1; i <= extra; ++i) {
            const unsigned char cc = p[i];
            if ((cc & 0xC0u) != 0x80u) return false;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000)) return false;  // overlong
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;                              // surrogate
        if (cp > 0x10FFFF) return false;
        p += extra + 1;
    }
    return true;
}

}  // namespace parlando
