#pragma once
// Reading TDLib's events. Pure: malformed input yields nothing, never an error.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace parlando {

struct TelegramEvent {
    enum class Kind {
        authorizationState,  // text: the state's "@type"
        error,               // text: the message, "unknown error" when there is none
        user,                // text: the user name, never empty
        other,               // text: the event's "@type"
    };
    Kind kind = Kind::other;
    std::string text;
    std::optional<std::int64_t> clientId;  // "@client_id", when TDLib names one
};

// A JSON object with a text "@type", else nothing. An "updateAuthorizationState"
// without a state object that has a text "@type" is nothing as well.
std::optional<TelegramEvent> decodeTelegramEvent(std::string_view text);

}  // namespace parlando
