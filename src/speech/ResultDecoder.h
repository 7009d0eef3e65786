#pragma once
// Reading the recognition service's JSON messages. Pure functions: malformed
// or unexpected input yields nothing, never an error.
#include "speech/Transcript.h"

#include <optional>
#include <string_view>

namespace parlando {

// A transcript worth delivering, or nothing: messages of another "type",
// non-objects, missing fields and empty interim results all give nothing.
std::optional<Transcript> decodeResultMessage(std::string_view text);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

}  // namespace parlando
