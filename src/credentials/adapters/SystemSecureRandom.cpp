#include "credentials/adapters/SystemSecureRandom.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace parlando {

std::optional<SecureRandom::Failure> SystemSecureRandom::fill(std::span<std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::getrandom(bytes.data() + done, bytes.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            return Failure{"getrandom", err, std::strerror(err)};
        }
        done += static_cast<std::size_t>(n);
    }
    return std::nullopt;
}

}  // namespace parlando
