#pragma once
// The system's cryptographically secure random source.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace parlando {

class SecureRandom {
public:
    struct Failure {
        std::string call;         // the failing system call, e.g. "getrandom"
        std::int32_t code = 0;    // its error code
        std::string description;  // its own words
    };

    virtual ~SecureRandom() = default;
    // Fills every byte, or says why it could not (then the bytes are not to be used).
    virtual std::optional<Failure> fill(std::span<std::uint8_t> bytes) = 0;
};

}  // namespace parlando
