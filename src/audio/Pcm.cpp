#include "audio/Pcm.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace parlando {

double rmsInt16(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < 2) return 0.0;
    const std::size_t count = size / 2;
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t s;
        std::memcpy(&s, data + 2 * i, sizeof s);  // the buffer may be unaligned
        const double d = s;
        sum += d * d;
    }
    return std::sqrt(sum / static_cast<double>(count));
}

std::string formatLevel(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    return buf;
}

std::string formatSampleRate(double rate) {
    char buf[64];
    if (std::floor(rate) == rate && std::fabs(rate) < 1e15) {
        std::snprintf(buf, sizeof buf, "%.1f", rate);
    } else {
        std::snprintf(buf, sizeof buf, "%.17g", rate);
        // Shortest text that reads back the same value.
        for (int precision = 1; precision <= 17; ++precision) {
            char probe[64];
            std::snprintf(probe, sizeof probe, "%.*g", precision, rate);
            if (std::strtod(probe, nullptr) == rate) {
                std::memcpy(buf, probe, sizeof probe);
                break;
            }
        }
    }
    return buf;
}

}  // namespace parlando
