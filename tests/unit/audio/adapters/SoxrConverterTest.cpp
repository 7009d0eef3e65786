// The libsoxr converter on its own and inside the engine's tap path, and the
// rule that tells a built-in microphone among PulseAudio sources.
#include "audio/AudioCapture.h"
#include "audio/adapters/PulseAudioBackend.h"
#include "audio/adapters/SoxrConverter.h"
#include "core/VirtualMainLoop.h"
#include "fakes/FakeAudio.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>
#include <pulse/proplist.h>

#include <cmath>
#include <cstring>

using namespace parlando;
using namespace parlando::testing;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Stereo 48 kHz whose channels average to a 1 kHz sine of amplitude 0.5.
void fillStereoSine(std::vector<float>& buf, std::uint64_t firstFrame, std::size_t frames) {
    buf.resize(frames * 2);
    for (std::size_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(firstFrame + f) / 48000.0;
        const float s = static_cast<float>(0.5 * std::sin(2 * kPi * 1000.0 * std::fmod(t, 1.0)));
        buf[2 * f] = s + 0.2f;  // the offsets cancel in the average
        buf[2 * f + 1] = s - 0.2f;
    }
}

double expectedSine(std::uint64_t outFrame) {
    return 0.5 * 32768.0 * std::sin(2 * kPi * 1000.0 * std::fmod(static_cast<double>(outFrame) / 16000.0, 1.0));
}

// The converter the engine builds, kept reachable for the test.
class KeepingFactory final : public AudioConverterFactory {
public:
    std::unique_ptr<AudioConverter> make(const AudioStreamFormat& from) override {
        auto c = std::make_unique<SoxrConverter>(from.sampleRate, from.channels);
        last = c.get();
        return c;
    }
    SoxrConverter* last = nullptr;
};

}  // namespace

TEST(SoxrConverter, ResamplesStereo48kToMono16kWithoutLosingAFrame) {
    SoxrConverter converter(48000, 2);
    std::vector<float> buf;
    std::vector<std::int16_t> out;
    std::uint64_t in = 0;
    std::vector<std::size_t> bursts;
    for (int b = 0; b < 200; ++b) {
        fillStereoSine(buf, in, 1024);
        const std::size_t before = out.size();
        const auto r = converter.convert(AudioBufferView{buf.data(), 1024, 2, 48000}, out);
        ASSERT_NE(r.status, ConversionResult::Status::error);
        bursts.push_back(out.size() - before);
        in += 1024;
        // What came out plus what is held back is exactly a third of the input.
        ASSERT_NEAR(static_cast<double>(out.size()) + converter.delay(), static_cast<double>(in) / 3.0, 1e-6);
    }
    EXPECT_EQ(bursts[0], 0u);  // soxr fills its pipeline first
    converter.flush(out);
    EXPECT_EQ(out.size(), in / 3 + (in % 3 ? 1 : 0));
    for (std::size_t i = 100; i + 100 < out.size(); ++i) ASSERT_NEAR(out[i], expectedSine(i), 3.0) << i;
}

TEST(SoxrConverter, SameRateMonoIsBitExactChannelsAreAveragedAndAWrongFormatIsAnError) {
    SoxrConverter mono(16000, 1);
    std::vector<float> in(4096);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(static_cast<std::int16_t>(i * 2654435761u >> 16)) / 32768.0f;
    std::vector<std::int16_t> out;
    mono.convert(AudioBufferView{in.data(), in.size(), 1, 16000}, out);
    ASSERT_EQ(out.size(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], static_cast<std::int16_t>(i * 2654435761u >> 16));

    SoxrConverter three(16000, 3);
    const std::vector<float> frames{0.3f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f, -1.0f, -1.0f, -1.0f, 2.0f, 2.0f, 2.0f};
    out.clear();
    three.convert(AudioBufferView{frames.data(), 4, 3, 16000}, out);
    EXPECT_EQ(out, (std::vector<std::int16_t>{3277, 32767, -32768, 32767}));  // average, clipped
    EXPECT_EQ(three.convert(AudioBufferView{frames.data(), 4, 2, 16000}, out).status, ConversionResult::Status::error);
    EXPECT_EQ(SoxrConverterFactory().make(AudioStreamFormat{0, 2}), nullptr);
}

// One hour of 48 kHz stereo through process() as fast as it goes.
TEST(TapPath, AnHourOfAudioKeepsEverySample) {
    VirtualMainLoop loop;
    MemorySettings settings;
    settings.setBool(AudioCapture::mutedKey, false);
    MemoryLog log;
    FakeAudioBackend backend;
    backend.add("mic", "Mic", false, 48000, 2);
    backend.defaultUID = "mic";
    KeepingFactory factory;
    AudioCapture capture(loop, settings, log, backend, factory);
    capture.ensureRunning();
    ASSERT_NE(factory.last, nullptr);

    std::uint64_t chunks = 0, badChunks = 0, outFrame = 0;
    capture.subscribe([&](const AudioChunk& c) {
        if (c.size() != 640) ++badChunks;
        // Spot-check the sine at the chunk's first sample (a lost or doubled
        // buffer would shift the phase).
        std::int16_t first;
        std::memcpy(&first, c.data(), 2);
        if (outFrame > 1000 && std::fabs(first - expectedSine(outFrame)) > 3.0) ++badChunks;
        outFrame += 320;
        ++chunks;
    });

    constexpr std::uint64_t totalFrames = 3600ull * 48000ull;
    constexpr std::size_t bufferFrames = 1024;
    // The sine repeats every 48 frames at 48 kHz: precompute one buffer per phase offset.
    std::vector<std::vector<float>> buffers(48);
    for (std::size_t p = 0; p < 48; ++p) fillStereoSine(buffers[p], p, bufferFrames);
    std::uint64_t fed = 0;
    while (fed < totalFrames) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bufferFrames, totalFrames - fed));
        capture.process(AudioBufferView{buffers[fed % 48].data(), n, 2, 48000});
        fed += n;
    }
    EXPECT_EQ(badChunks, 0u);
    // Everything the resampler released is in whole chunks plus the partial one;
    // what it still holds is its delay. Together: exactly a third of the input.
    const double released = static_cast<double>(totalFrames) / 3.0 - factory.last->delay();
    EXPECT_EQ(chunks, static_cast<std::uint64_t>(released) / 320);
    EXPECT_LT(factory.last->delay(), 640.0);  // soxr holds back at most two chunks' worth
    EXPECT_GE(chunks, 180000u - 2);
    EXPECT_EQ(capture.preRollSnapshot().size(), 48000u);
}

TEST(PulseBuiltInRule, InternalFormFactorOrOnBoardInternalMicPort) {
    auto builtIn = [](std::initializer_list<std::pair<const char*, const char*>> props, const char* port = nullptr) {
        pa_proplist* p = pa_proplist_new();
        for (const auto& [k, v] : props) pa_proplist_sets(p, k, v);
        const bool r = PulseAudioBackend::isBuiltInSource(p, port);
        pa_proplist_free(p);
        return r;
    };
    EXPECT_TRUE(builtIn({{"device.form_factor", "internal"}}));
    EXPECT_FALSE(builtIn({{"device.form_factor", "internal"}, {"device.bus", "usb"}}));
    EXPECT_FALSE(builtIn({{"device.form_factor", "microphone"}, {"device.bus", "pci"}}, "analog-input-internal-mic"));
    EXPECT_FALSE(builtIn({{"device.form_factor", "webcam"}, {"device.bus", "usb"}}));
    EXPECT_TRUE(builtIn({{"device.bus", "pci"}}, "analog-input-internal-mic"));
    EXPECT_TRUE(builtIn({{"device.bus", "platform"}}, "[In] Internal-Mic"));
    EXPECT_FALSE(builtIn({{"device.bus", "pci"}}, "analog-input-mic"));
    EXPECT_FALSE(builtIn({{"device.bus", "usb"}}, "analog-input-internal-mic"));
    EXPECT_FALSE(builtIn({}));
}
