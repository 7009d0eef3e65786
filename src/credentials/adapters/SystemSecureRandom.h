#pragma once
// The kernel's cryptographically secure random source, through getrandom(2):
// the urandom pool, which blocks only until it is first seeded at boot.
#include "credentials/SecureRandom.h"

namespace parlando {

class SystemSecureRandom final : public SecureRandom {
public:
    std::optional<Failure> fill(std::span<std::uint8_t> bytes) override;
};

}  // namespace parlando
