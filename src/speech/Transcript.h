#pragma once
// One recognition result as the owners of a recognition stream see it.
#include <optional>
#include <string>

namespace parlando {

struct Transcript {
    std::string text;                 // best alternative; may be empty for a final
    bool isFinal = false;             // the service will not revise it any more
    std::optional<int> channelIndex;  // 0-based; absent when the message carried none

    bool operator==(const Transcript&) const = default;
};

}  // namespace parlando
