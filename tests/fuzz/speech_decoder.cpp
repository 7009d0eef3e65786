// libFuzzer target for the reading of service messages. Whatever arrives, the
// decoder must neither crash nor invent a result: anything it returns came
// from well-formed JSON, carries valid UTF-8, and is never an empty interim.
#include "speech/ResultDecoder.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto result = parlando::decodeResultMessage(text);
    (void)parlando::isValidUtf8(text);
    if (result) {
        if (!nlohmann::json::accept(text)) __builtin_trap();
        if (!parlando::isValidUtf8(result->text)) __builtin_trap();
        if (result->text.empty() && !result->isFinal) __builtin_trap();
    }
    return 0;
}
