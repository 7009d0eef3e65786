#pragma once
// The engine on a fake sound system and virtual time, with every callback recorded.
#include "audio/AudioCapture.h"
#include "core/VirtualMainLoop.h"
#include "fakes/FakeAudio.h"
#include "fakes/Fakes.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace parlando::testing {

struct AudioRig {
    VirtualMainLoop loop;
    MemorySettings settings;
    MemoryLog log;
    FakeAudioBackend backend;
    FakeConverterFactory converters;
    std::unique_ptr<AudioCapture> capture;

    std::vector<bool> availability, signal, muted;
    int allFailed = 0, recovered = 0;
    std::vector<std::pair<std::string, std::string>> fallbacks;
    std::vector<std::string> errors;

    // listening: the stored mute switch (nullopt: never written, a fresh installation).
    // A typical machine: a USB microphone, the default, and the built-in one.
    explicit AudioRig(std::optional<bool> storedMuted = false) {
        if (storedMuted) settings.setBool(AudioCapture::mutedKey, *storedMuted);
        backend.add("usb-mic", "USB Mic");
        backend.add("builtin-mic", "Built-in Microphone", true);
        backend.defaultUID = "usb-mic";
        backend.clockWith(loop);
        capture = std::make_unique<AudioCapture>(loop, settings, log, backend, converters);
        capture->onAvailabilityChange = [this](bool v) { availability.push_back(v); };
        capture->onSignalChange = [this](bool v) { signal.push_back(v); };
        capture->onMutedChange = [this](bool v) { muted.push_back(v); };
        capture->onAllMicsFailed = [this] { ++allFailed; };
        capture->onMicsRecovered = [this] { ++recovered; };
        capture->onSelectionFailedFallback = [this](const std::string& a, const std::string& b) {
            fallbacks.emplace_back(a, b);
        };
        capture->onError = [this](const std::string& e) { errors.push_back(e); };
    }
    ~AudioRig() { capture.reset(); }

    // One 16 kHz mono microphone, the default, running: what goes in comes out unconverted.
    void monoMic() {
        backend.add("m", "Mic", false, 16000, 1);
        backend.defaultUID = "m";
        capture->setDeviceUID(std::nullopt);
    }
    void advance(double s) { loop.advanceBy(seconds(s)); }
};

// Expects `f` to throw a CaptureError of that kind (and text, when given).
inline void expectCaptureError(const std::function<void()>& f, CaptureError::Kind kind, const char* text = "") {
    try {
        f();
        ADD_FAILURE() << "no CaptureError";
    } catch (const CaptureError& e) {
        EXPECT_EQ(e.kind(), kind);
        EXPECT_STREQ(*text ? e.what() : "", text);
    }
}

}  // namespace parlando::testing
