// The libsoxr converter, and the rule that tells a built-in microphone among
// PulseAudio (and pipewire-pulse) sources.
#include "audio/adapters/PulseAudioBackend.h"
#include "audio/adapters/SoxrConverter.h"

#include <gtest/gtest.h>
#include <pulse/introspect.h>

using namespace parlando;

TEST(SoxrConverter, SameRateMonoIsBitExactChannelsAreAveragedAndAWrongFormatIsAnError) {
    std::vector<std::int16_t> expected(4096), out;
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<std::int16_t>(i * 2654435761u >> 16);
    std::vector<float> in(expected.begin(), expected.end());
    for (float& v : in) v /= 32768.0f;
    SoxrConverter(16000, 1).convert(AudioBufferView{in.data(), in.size(), 1, 16000}, out);
    EXPECT_EQ(out, expected);

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
        const char* port;  // the active one, or none
        int portType;
        bool monitor;
        int rank;
    };
    const std::pair<const char*, const char*> internal{"device.form_factor", "internal"}, pci{"device.bus", "pci"};
    const Case cases[] = {
        {{internal, pci}, "analog-input-internal-mic", PA_DEVICE_PORT_TYPE_MIC, false, 2},
        {{pci}, "[In] Internal Mic", PA_DEVICE_PORT_TYPE_UNKNOWN, false, 2},
        // A desktop's empty jack on an "internal" card, a line input, a headset: not built in.
        {{internal, pci}, "analog-input-rear-mic", PA_DEVICE_PORT_TYPE_MIC, false, 0},
        {{}, "analog-input-internal-mic", PA_DEVICE_PORT_TYPE_LINE, false, 0},
        {{internal}, nullptr, 0, false, 1},
        {{{"device.form-factor", "internal"}}, nullptr, 0, false, 1},
        {{internal, {"device.bus", "usb"}}, nullptr, 0, false, 0},
        {{{"device.form_factor", "webcam"}}, nullptr, 0, false, 0},
        {{internal}, nullptr, 0, true, 0},
    };
    for (const auto& c : cases) {
        pa_proplist* props = pa_proplist_new();
        for (const auto& [k, v] : c.props) pa_proplist_sets(props, k, v);
        pa_source_port_info port{};
        port.name = const_cast<char*>(c.port);
        port.type = c.portType;
        pa_source_port_info* ports[] = {&port};
        pa_source_info info{};
        info.proplist = props;
        info.monitor_of_sink = c.monitor ? 0 : PA_INVALID_INDEX;
        info.n_ports = c.port ? 1 : 0;
        info.ports = ports;
        info.active_port = c.port ? &port : nullptr;
        EXPECT_EQ(PulseAudioBackend::builtInRank(info), c.rank) << (c.port ? c.port : "no ports");
        pa_proplist_free(props);
    }
}
