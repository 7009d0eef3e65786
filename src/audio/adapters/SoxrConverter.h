#pragma once
// The converter on libsoxr (high quality): native rate and channel count to
// 16 kHz mono 16-bit. Channels are averaged before resampling (one channel to
// resample instead of several); the float result is rounded and clipped to
// 16 bits here, without dither. Stateful across buffers; output comes in bursts.
#include "audio/AudioConverter.h"

#include <memory>
#include <vector>

struct soxr;

namespace parlando {

class SoxrConverter final : public AudioConverter {
public:
    // Throws std::runtime_error when libsoxr refuses the rates.
    SoxrConverter(double inputRate, std::uint32_t channels, double outputRate = 16000.0);
    ~SoxrConverter() override;
    SoxrConverter(const SoxrConverter&) = delete;
    SoxrConverter& operator=(const SoxrConverter&) = delete;

    ConversionResult convert(const AudioBufferView& in, std::vector<std::int16_t>& out) override;
    // Releases what the resampler still holds back, as if the input had ended.
    void flush(std::vector<std::int16_t>& out) override;
    // Output frames the resampler currently holds back.
    double delay() const;

private:
    void appendConverted(const float* samples, std::size_t count, std::vector<std::int16_t>& out);

    soxr* soxr_ = nullptr;  // none when the rates are equal: a plain copy
    double inputRate_;
    std::uint32_t channels_;
    double ratio_;
    std::vector<float> mono_;
    std::vector<float> resampled_;
};

class SoxrConverterFactory final : public AudioConverterFactory {
public:
    std::unique_ptr<AudioConverter> make(const AudioStreamFormat& from) override;
};

}  // namespace parlando
