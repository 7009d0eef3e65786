#pragma once
// Where the recognition stream connects, and the URL it asks for.
#include <optional>
#include <string>
#include <string_view>

namespace parlando {

// The service's public streaming endpoint (scheme, host, port).
inline constexpr std::string_view kDeepgramDefaultBase = "wss://api.deepgram.com";
inline constexpr std::string_view kDeepgramListenPath = "/v1/listen";
// Replaces scheme, host and port (self-hosted deployments, local tests).
inline constexpr const char* kDeepgramUrlVariable = "PARLANDO_DEEPGRAM_URL";

// The value of PARLANDO_DEEPGRAM_URL when set and not empty, else the default.
std::string deepgramBaseFromEnvironment();

// "ws" or "wss", a host, an optional port: reduced to "scheme://host[:port]".
// Any path, query or fragment is dropped. Nothing when unusable.
std::optional<std::string> normalizedStreamingBase(std::string_view base);

// RFC 3986 unreserved characters stay, everything else is %XX.
std::string percentEncodeQueryComponent(std::string_view value);

// The fixed query items in their order; "multichannel" only when true.
std::string listenQuery(std::string_view model, std::string_view language, int channels, bool multichannel);

// base + "/v1/listen?" + query, or nothing when base is unusable.
std::optional<std::string> listenUrl(std::string_view base, std::string_view model, std::string_view language,
                                     int channels, bool multichannel);

}  // namespace parlando
