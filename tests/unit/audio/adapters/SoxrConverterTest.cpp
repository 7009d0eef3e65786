// The libsoxr converter, and the rule that tells a built-in microphone among
// PulseAudio (and pipewire-pulse) sources.
#include "audio/adapters/PulseAudioBackend.h"
#include "audio/adapters/SoxrConverter.h"

#include <gtest/gtest.h>
#include <pulse/introspect.h>

#include <cmath>
#include <cstring>

using namespace parlando;

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

}  // namespace

TEST(SoxrConverter, ResamplesStereo48kToMono16kWithoutLosingAFrame) {
    SoxrConverter converter(48000, 2);
    std::vector<float> buf;
    std::vector<std::int16_t> out;
    std::uint64_t in = 0;
    for (int b = 0; b < 200; ++b) {
        fillStereoSine(buf, in, 1024);
        ASSERT_NE(converter.convert(AudioBufferView{buf.data(), 1024, 2, 48000}, out).status,
                  ConversionResult::Status::error);
        in += 1024;
        // What came out plus what is held back is exactly a third of the input.
        ASSERT_NEAR(static_cast<double>(out.size()) + converter.delay(), static_cast<double>(in) / 3.0, 1e-6);
    }
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

TEST(PulseBuiltInRule, TheActivePortDecidesAndAFormFactorCountsOnlyWithoutPorts) {
    struct Case {
        std::vector<std::pair<const char*, const char*>> props;
        std::vector<std::pair<const char*, int>> ports;  // name, type; the first is active
        bool monitor;
        int rank;
    };
    const Case cases[] = {
        {{{"device.form_factor", "internal"}, {"device.bus", "pci"}}, {{"analog-input-internal-mic", PA_DEVICE_PORT_TYPE_MIC}}, false, 2},
        {{{"device.bus", "pci"}}, {{"[In] Internal Mic", PA_DEVICE_PORT_TYPE_UNKNOWN}}, false, 2},
        // A desktop's empty jack on an "internal" card, a line input, a headset: not built in.
        {{{"device.form_factor", "internal"}, {"device.bus", "pci"}}, {{"analog-input-rear-mic", PA_DEVICE_PORT_TYPE_MIC}}, false, 0},
        {{}, {{"analog-input-internal-mic", PA_DEVICE_PORT_TYPE_LINE}}, false, 0},
        {{{"device.form_factor", "internal"}}, {}, false, 1},
        {{{"device.form-factor", "internal"}}, {}, false, 1},
        {{{"device.form_factor", "internal"}, {"device.bus", "usb"}}, {}, false, 0},
        {{{"device.form_factor", "webcam"}}, {}, false, 0},
        {{{"device.form_factor", "internal"}}, {}, true, 0},
    };
    for (const auto& c : cases) {
        pa_proplist* props = pa_proplist_new();
        for (const auto& [k, v] : c.props) pa_proplist_sets(props, k, v);
        std::vector<pa_source_port_info> ports(c.ports.size());
        std::vector<pa_source_port_info*> portList;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            ports[i].name = const_cast<char*>(c.ports[i].first);
            ports[i].type = c.ports[i].second;
            portList.push_back(&ports[i]);
        }
        pa_source_info info{};
        info.proplist = props;
        info.monitor_of_sink = c.monitor ? 0 : PA_INVALID_INDEX;
        info.n_ports = static_cast<std::uint32_t>(ports.size());
        info.ports = portList.data();
        info.active_port = ports.empty() ? nullptr : &ports[0];
        EXPECT_EQ(PulseAudioBackend::builtInRank(info), c.rank) << (c.ports.empty() ? "no ports" : c.ports[0].first);
        pa_proplist_free(props);
    }
}
