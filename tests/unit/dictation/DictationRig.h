#pragma once
// Everything a dictation test needs: fakes of every port on virtual time.
#include "core/VirtualMainLoop.h"
#include "dictation/DictationController.h"
#include "dictation/LocalCaptureSession.h"
#include "fakes/FakeDictation.h"
#include "fakes/Fakes.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace parlando::testing {

// n samples of the given values, repeated, as native 16-bit PCM.
inline AudioBytes pcm(std::size_t samples, std::initializer_list<std::int16_t> pattern) {
    AudioBytes out(samples * 2);
    std::vector<std::int16_t> p(pattern);
    for (std::size_t i = 0; i < samples; ++i) {
        const std::int16_t v = p[i % p.size()];
        std::memcpy(out.data() + 2 * i, &v, 2);
    }
    return out;
}

// A 640-byte chunk whose every sample is the chunk's number (to check order).
inline AudioBytes numberedChunk(std::int16_t n) { return pcm(320, {n}); }

struct DictationRig {
    VirtualMainLoop loop;
    MemoryLog log;
    FakeMicrophone mic;
    FakeRecognitionFactory recognition;
    FakeKeySource keys;
    FakePaste paste;
    FakeLamp lamp;
    FakeDictationTray tray;
    FakeAlertPresenter alerts;
    bool meetingRunning = false;
    int meetingStops = 0;

    DictationRig() {
        // A full, audible pre-roll by default.
        mic.preRoll = pcm(24000, {1000, -1000});
    }
    // Drains still under way hold sessions that use the fakes: let them end
    // while the fakes are alive.
    ~DictationRig() { loop.advanceBy(seconds(60)); }
    DictationRig(const DictationRig&) = delete;
    DictationRig& operator=(const DictationRig&) = delete;

    SessionServices sessionServices() { return SessionServices{loop, log, mic, recognition, keys, paste, lamp}; }

    std::shared_ptr<DictationController> controller() {
        return DictationController::create(DictationServices{
            loop, log, mic, recognition, keys, paste, lamp, tray, alerts,
            [this]() { return meetingRunning; },
            [this]() {
                ++meetingStops;
                meetingRunning = false;
            }});
    }

    // The latest recognition client; a test asking before any exists is wrong.
    std::shared_ptr<FakeRecognitionClient> client() {
        auto c = recognition.last();
        if (!c) throw std::logic_error("no recognition client yet");
        return c;
    }

    bool logged(std::string_view line) const { return log.contains(line); }
    std::size_t indexOf(std::string_view needle) const {
        const auto lines = log.lines();
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find(needle) != std::string::npos) return i;
        return lines.size();
    }
};

}  // namespace parlando::testing
