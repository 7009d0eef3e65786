#pragma once
// Any file libsndfile reads, as 16 kHz mono 16-bit little-endian PCM.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace parlando::transcribe {

struct AudioLoadError {
    std::string message;
};

// Channels are averaged; the rate is converted with libsoxr (high quality,
// no dither, so the same file always gives the same bytes).
std::variant<std::vector<std::uint8_t>, AudioLoadError> loadAsSpeechPcm(const std::string& path);

}  // namespace parlando::transcribe
