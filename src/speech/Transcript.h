#pragma once
// One recognition result as the owners of a recognition stream see it.
#include <optional>
#include <string>
#include <utility>

namespace parlando {

struct Transcript {
    Transcript() = default;
    Transcript(std::string text_, bool isFinal_, std::optional<int> channelIndex_ = std::nullopt,
               std::optional<double> start_ = std::nullopt)
        : text(std::move(text_)), isFinal(isFinal_), channelIndex(channelIndex_), start(start_) {}

    std::string text;                 // best alternative; may be empty for a final
    bool isFinal = false;             // the service will not revise it any more
    std::optional<int> channelIndex;  // 0-based; absent when the message carried none
    std::optional<double> start;      // seconds into the stream where the result begins, when given

    bool operator==(const Transcript&) const = default;
};

}  // namespace parlando
