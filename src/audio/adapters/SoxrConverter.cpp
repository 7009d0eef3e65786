#include "audio/adapters/SoxrConverter.h"

#include <soxr.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace parlando {

SoxrConverter::SoxrConverter(double inputRate, std::uint32_t channels, double outputRate)
    : inputRate_(inputRate), channels_(channels), ratio_(outputRate / inputRate) {
    if (!(inputRate > 0) || !(outputRate > 0) || channels == 0) throw std::runtime_error("bad converter format");
    if (inputRate != outputRate) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t error = nullptr;
        soxr_ = soxr_create(inputRate, outputRate, 1, &error, &io, &quality, nullptr);
        if (error != nullptr || soxr_ == nullptr) {
            if (soxr_ != nullptr) soxr_delete(soxr_);
            throw std::runtime_error(std::string("soxr_create: ") + (error ? error : "failed"));
        }
    }
}

SoxrConverter::~SoxrConverter() {
    if (soxr_ != nullptr) soxr_delete(soxr_);
}

void SoxrConverter::appendConverted(const float* samples, std::size_t count, std::vector<std::int16_t>& out) {
    const std::size_t base = out.size();
    out.resize(base + count);
    std::int16_t* dst = out.data() + base;
    for (std::size_t i = 0; i < count; ++i) {
        // Full scale is 32768 both ways, so 16-bit input comes back bit for bit.
        float v = std::nearbyint(samples[i] * 32768.0f);
        v = v > 32767.0f ? 32767.0f : (v < -32768.0f ? -32768.0f : v);
        dst[i] = static_cast<std::int16_t>(v);
    }
}

ConversionResult SoxrConverter::convert(const AudioBufferView& in, std::vector<std::int16_t>& out) {
    if (in.channels != channels_ || in.sampleRate != inputRate_ || in.samples == nullptr) {
        return {ConversionResult::Status::error, "buffer format does not match the converter"};
    }
    const float* mono = in.samples;
    if (channels_ > 1) {
        mono_.resize(in.frames);
        const float scale = 1.0f / static_cast<float>(channels_);
        const float* src = in.samples;
        if (channels_ == 2) {
            for (std::size_t f = 0; f < in.frames; ++f) mono_[f] = (src[2 * f] + src[2 * f + 1]) * scale;
        } else {
            for (std::size_t f = 0; f < in.frames; ++f) {
                float sum = 0.0f;
                for (std::uint32_t c = 0; c < channels_; ++c) sum += src[f * channels_ + c];
                mono_[f] = sum * scale;
            }
        }
        mono = mono_.data();
    }
    if (soxr_ == nullptr) {
        appendConverted(mono, in.frames, out);
        return {out.empty() ? ConversionResult::Status::inputRanDry : ConversionResult::Status::haveData, {}};
    }
    // soxr may take only part of the input when the output is full: go round
    // until every input frame is consumed.
    const std::size_t room = static_cast<std::size_t>(static_cast<double>(in.frames) * ratio_) + 1024;
    if (resampled_.size() < room) resampled_.resize(room);
    std::size_t consumed = 0;
    const std::size_t before = out.size();
    while (true) {
        std::size_t idone = 0, odone = 0;
        soxr_error_t error = soxr_process(soxr_, mono + consumed, in.frames - consumed, &idone, resampled_.data(),
                                          resampled_.size(), &odone);
        if (error != nullptr) return {ConversionResult::Status::error, std::string("soxr_process: ") + error};
        appendConverted(resampled_.data(), odone, out);
        consumed += idone;
        if (consumed >= in.frames && odone < resampled_.size()) break;
        if (idone == 0 && odone == 0) break;
    }
    return {out.size() > before ? ConversionResult::Status::haveData : ConversionResult::Status::inputRanDry, {}};
}

void SoxrConverter::flush(std::vector<std::int16_t>& out) {
    if (soxr_ == nullptr) return;
    if (resampled_.size() < 4096) resampled_.resize(4096);
    while (true) {
        std::size_t odone = 0;
        if (soxr_process(soxr_, nullptr, 0, nullptr, resampled_.data(), resampled_.size(), &odone) != nullptr) return;
        appendConverted(resampled_.data(), odone, out);
        if (odone == 0) return;
    }
}

double SoxrConverter::delay() const { return soxr_ == nullptr ? 0.0 : soxr_delay(soxr_); }

std::unique_ptr<AudioConverter> SoxrConverterFactory::make(const AudioStreamFormat& from) {
    try {
        return std::make_unique<SoxrConverter>(from.sampleRate, from.channels);
    } catch (const std::exception&) {
        return nullptr;
    }
}

}  // namespace parlando
