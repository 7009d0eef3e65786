// The microphone tap path per 1024-frame 48 kHz stereo float buffer:
// conversion, chunking, pre-roll ring and delivery to two subscribers, beside
// the conversion alone on the same data.
#include "audio/AudioCapture.h"
#include "audio/adapters/SoxrConverter.h"
#include "core/Settings.h"
#include "core/VirtualMainLoop.h"

#include <benchmark/benchmark.h>
#include <soxr.h>

#include <cmath>
#include <vector>

using namespace parlando;

namespace {

constexpr std::size_t kFrames = 1024;
constexpr double kRate = 48000;
constexpr double kBufferSeconds = kFrames / kRate;

// Speech-like test signal: two tones and a little noise, different per channel.
std::vector<std::vector<float>> makeBuffers(std::size_t count) {
    std::vector<std::vector<float>> out(count, std::vector<float>(kFrames * 2));
    std::uint32_t noise = 12345;
    for (std::size_t b = 0; b < count; ++b) {
        for (std::size_t f = 0; f < kFrames; ++f) {
            const double t = static_cast<double>(b * kFrames + f) / kRate;
            noise = noise * 1664525u + 1013904223u;
            const float n = static_cast<float>(static_cast<std::int32_t>(noise) / 2147483648.0 * 0.01);
            out[b][2 * f] = static_cast<float>(0.3 * std::sin(2 * M_PI * 220 * t) + 0.1 * std::sin(2 * M_PI * 1800 * t)) + n;
            out[b][2 * f + 1] = static_cast<float>(0.25 * std::sin(2 * M_PI * 330 * t)) - n;
        }
    }
    return out;
}

class NullLog final : public Log {
public:
    void append(std::string_view) override {}
};

// Just enough of a sound system to let the engine build its converter.
class BenchBackend final : public AudioBackend {
public:
    bool isAudioSystemAvailable() override { return true; }
    std::vector<AudioDeviceInfo> devices() override {
        AudioDeviceInfo d;
        d.id = 1;
        d.uid = "bench";
        d.name = "Bench";
        d.inputChannels = 2;
        d.nominalSampleRate = kRate;
        return {d};
    }
    std::optional<AudioDeviceInfo> defaultInputDevice() override { return devices().front(); }
    void start(const AudioDeviceInfo&, Tap) override { running_ = true; }
    void stop() override { running_ = false; }
    bool isRunning() const override { return running_; }
    void setEventHandler(std::function<void(AudioSystemEvent)>) override {}

private:
    bool running_ = false;
};

void reportRealTime(benchmark::State& state) {
    state.counters["buffers_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    // Seconds of audio processed per second of CPU: the real-time factor.
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBufferSeconds,
                                                      benchmark::Counter::kIsRate);
}

// The whole tap path as the audio thread runs it.
void BM_TapPath(benchmark::State& state) {
    const auto buffers = makeBuffers(64);
    VirtualMainLoop loop;
    MemorySettings settings;
    settings.setBool(AudioCapture::mutedKey, false);
    NullLog log;
    BenchBackend backend;
    SoxrConverterFactory converters;
    AudioCapture capture(loop, settings, log, backend, converters);
    capture.ensureRunning();
    std::size_t a = 0, b = 0;
    capture.subscribe([&](const AudioChunk& c) { a += c[7]; });
    capture.subscribe([&](const AudioChunk& c) { b += c.size(); });
    std::size_t i = 0;
    for (auto _ : state) {
        capture.process(AudioBufferView{buffers[i++ % buffers.size()].data(), kFrames, 2, kRate});
    }
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    reportRealTime(state);
}
BENCHMARK(BM_TapPath);

// The converter alone: channel average, libsoxr, rounding to 16 bits.
void BM_ConversionAlone(benchmark::State& state) {
    const auto buffers = makeBuffers(64);
    SoxrConverter converter(kRate, 2);
    std::vector<std::int16_t> out;
    out.reserve(4096);
    std::size_t i = 0;
    for (auto _ : state) {
        out.clear();
        converter.convert(AudioBufferView{buffers[i++ % buffers.size()].data(), kFrames, 2, kRate}, out);
        benchmark::DoNotOptimize(out.data());
    }
    reportRealTime(state);
}
BENCHMARK(BM_ConversionAlone);

// libsoxr by itself on the same data, resampling both channels to 16 kHz
// (what a plain two-channel conversion would cost).
void BM_LibsoxrStereo(benchmark::State& state) {
    const auto buffers = makeBuffers(64);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(kRate, 16000, 2, &error, &io, &quality, nullptr);
    std::vector<float> out(4096);
    std::size_t i = 0;
    for (auto _ : state) {
        std::size_t idone = 0, odone = 0;
        soxr_process(soxr, buffers[i++ % buffers.size()].data(), kFrames, &idone, out.data(), out.size() / 2, &odone);
        benchmark::DoNotOptimize(out.data());
    }
    soxr_delete(soxr);
    reportRealTime(state);
}
BENCHMARK(BM_LibsoxrStereo);

}  // namespace

BENCHMARK_MAIN();
