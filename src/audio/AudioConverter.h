#pragma once
// Stateful conversion from the input's native format to 16 kHz mono 16-bit.
// One converter serves one engine run, so resampling state carries over from
// one buffer to the next; output may come in bursts.
#include "audio/AudioBackend.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

struct ConversionResult {
    enum class Status { haveData, inputRanDry, error };
    Status status = Status::haveData;
    std::optional<std::string> error;  // a reported failure, for onError
};

class AudioConverter {
public:
    virtual ~AudioConverter() = default;
    // Converts one buffer in the input format; appends the output samples
    // (possibly none yet) to out.
    virtual ConversionResult convert(const AudioBufferView& in, std::vector<std::int16_t>& out) = 0;
    // Appends what the converter still holds back, as if the input had ended;
    // called once before the converter is dropped mid-stream.
    virtual void flush(std::vector<std::int16_t>& out) { (void)out; }
};

class AudioConverterFactory {
public:
    virtual ~AudioConverterFactory() = default;
    // A fresh converter from `from` to 16 kHz mono s16, or null when it cannot be built.
    virtual std::unique_ptr<AudioConverter> make(const AudioStreamFormat& from) = 0;
};

}  // namespace parlando
