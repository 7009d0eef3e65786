#pragma once
// The application's audio chunk format and the level measure used on it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace parlando {

// 16-bit signed little-endian PCM, one channel, 16 000 frames per second.
using AudioChunk = std::vector<std::uint8_t>;

// Root-mean-square of a byte buffer read as native 16-bit signed samples, in raw
// sample units (full scale 32768). Fewer than 2 bytes give 0; an odd trailing
// byte is ignored.
double rmsInt16(const std::uint8_t* data, std::size_t size);
inline double rmsInt16(const std::vector<std::uint8_t>& bytes) { return rmsInt16(bytes.data(), bytes.size()); }

// "%.1f", the way levels appear in log lines.
std::string formatLevel(double value);

// A sample rate as the log shows it: always with a fractional part ("48000.0").
std::string formatSampleRate(double rate);

}  // namespace parlando
