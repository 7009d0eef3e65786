#include "AudioFile.h"

#include <sndfile.h>
#include <soxr.h>

#include <cmath>
#include <memory>

namespace parlando::transcribe {

namespace {

constexpr double kTargetRate = 16000.0;
constexpr sf_count_t kBlockFrames = 4096;

void appendSamples(std::vector<std::uint8_t>& out, const std::int16_t* samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto v = static_cast<std::uint16_t>(samples[i]);
        out.push_back(static_cast<std::uint8_t>(v & 0xFF));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
}

}  // namespace

std::variant<std::vector<std::uint8_t>, AudioLoadError> loadAsSpeechPcm(const std::string& path) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, decltype(&sf_close)> file(sf_open(path.c_str(), SFM_READ, &info), &sf_close);
    if (!file) return AudioLoadError{sf_strerror(nullptr)};
    if (info.channels < 1 || info.samplerate < 1) return AudioLoadError{"no audio channels"};

    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
    soxr_io_spec_t ioNoDither = io;
    ioNoDither.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    std::unique_ptr<soxr, decltype(&soxr_delete)> resampler(
        soxr_create(info.samplerate, kTargetRate, 1, &error, &ioNoDither, &quality, nullptr), &soxr_delete);
    if (error != nullptr || !resampler) return AudioLoadError{std::string("resampler: ") + (error ? error : "failed")};

    std::vector<std::uint8_t> out;
    const double ratio = kTargetRate / info.samplerate;
    out.reserve(static_cast<std::size_t>(static_cast<double>(info.frames) * ratio * 2.0) + 64);
    std::vector<float> interleaved(static_cast<std::size_t>(kBlockFrames) * static_cast<std::size_t>(info.channels));
    std::vector<float> mono(static_cast<std::size_t>(kBlockFrames));
    std::vector<std::int16_t> converted(static_cast<std::size_t>(std::ceil(kBlockFrames * ratio)) + 1024);

    auto drain = [&](const float* input, std::size_t frames) -> bool {
        // A null input tells soxr the stream has ended and flushes it.
        for (;;) {
            std::size_t used = 0, produced = 0;
            error = soxr_process(resampler.get(), input, frames, &used, converted.data(), converted.size(), &produced);
            if (error != nullptr) return false;
            appendSamples(out, converted.data(), produced);
            if (input != nullptr) {
                if (used == 0 && produced == 0) return false;  // would spin forever
                input += used;
                frames -= used;
                if (frames == 0) return true;
            } else if (produced == 0) {
                return true;
            }
        }
    };

    for (;;) {
        const sf_count_t got = sf_readf_float(file.get(), interleaved.data(), kBlockFrames);
        if (got <= 0) break;
        for (sf_count_t f = 0; f < got; ++f) {
            float sum = 0.0f;
            for (int c = 0; c < info.channels; ++c) sum += interleaved[static_cast<std::size_t>(f * info.channels + c)];
            mono[static_cast<std::size_t>(f)] = sum / static_cast<float>(info.channels);
        }
        if (!drain(mono.data(), static_cast<std::size_t>(got))) {
            return AudioLoadError{std::string("resampler: ") + (error ? error : "stalled")};
        }
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) return AudioLoadError{sf_strerror(file.get())};
    if (!drain(nullptr, 0)) return AudioLoadError{std::string("resampler: ") + (error ? error : "stalled")};
    return out;
}

}  // namespace parlando::transcribe
