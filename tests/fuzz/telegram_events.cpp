// libFuzzer target for the reading of TDLib's events. Whatever arrives, the
// decoder must neither crash nor invent an event: anything it returns came
// from a well-formed JSON object, and a user always has a name.
#include "telegram/TelegramEvents.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto event = parlando::decodeTelegramEvent(text);
    if (!event) return 0;
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("@type")) __builtin_trap();
    if (event->text.empty() && event->kind != parlando::TelegramEvent::Kind::other) __builtin_trap();
    return 0;
}
