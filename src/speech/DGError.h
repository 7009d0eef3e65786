#pragma once
// The recognition client's own errors. Socket-level failures reach owners as
// the network layer's description instead.
#include <string>

namespace parlando {

class DGError {
public:
    enum class Kind { decodeFailed, notConnected };

    static DGError decodeFailed(std::string message) { return DGError(Kind::decodeFailed, std::move(message)); }
    static DGError notConnected() { return DGError(Kind::notConnected, {}); }

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    std::string errorDescription() const {
        switch (kind_) {
        case Kind::decodeFailed:
            return "Failed to decode Deepgram response: " + message_;
        case Kind::notConnected:
            return "Deepgram WebSocket not connected";
        }
        return {};
    }

private:
    DGError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

}  // namespace parlando
