#pragma once
// A sound system and a converter for the microphone engine's unit tests.
// FakeAudioBackend keeps a device table the test edits, records the starts,
// and (clocked by a main loop) delivers 20 ms of the running device's level
// every 20 ms, on the loop's thread.
#include "audio/AudioBackend.h"
#include "audio/AudioConverter.h"
#include "core/MainLoop.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace parlando::testing {

class FakeAudioBackend final : public AudioBackend {
public:
    struct Device {
        AudioDeviceInfo info;
        double level = 1000.0;    // constant sample value in raw 16-bit units, so also the RMS; 0 = silence
        bool startFails = false;  // start() throws
    };

    // Adds an input device; ids count from 1 in the order added.
    Device& add(const std::string& uid, const std::string& name, bool builtIn = false, double rate = 48000,
                std::uint32_t channels = 2) {
        Device& d = table.emplace_back();
        d.info = {++lastId_, uid, name, channels, rate, builtIn ? 2 : 0, false};
        return d;
    }
    Device& dev(const std::string& uid) { return *find(uid); }
    void remove(const std::string& uid) {
        std::erase_if(table, [&](const Device& d) { return d.info.uid == uid; });
    }

    // Delivers audio of the running device every 20 ms of the loop's time.
    void clockWith(MainLoop& loop) {
        clock_.startRepeating(loop, millis(20), [this] {
            const Device* d = running ? find(startedOn.back()) : nullptr;
            if (d == nullptr || !tap_) return;
            const auto frames = static_cast<std::size_t>(std::llround(0.02 * d->info.nominalSampleRate));
            const std::uint32_t ch = d->info.inputChannels;
            std::vector<float> buf(frames * ch, static_cast<float>(d->level / 32768.0));
            tap_(AudioBufferView{buf.data(), frames, ch, d->info.nominalSampleRate});
        });
    }
    // The server going away (and its stream with it) or coming back.
    void setAvailable(bool on) {
        available = on;
        if (!on) stop();
        handler(on ? AudioSystemEvent::audioSystemAppeared : AudioSystemEvent::audioSystemLost);
    }

    // ---- AudioBackend
    bool isAudioSystemAvailable() override { return available; }
    std::vector<AudioDeviceInfo> devices() override {
        std::vector<AudioDeviceInfo> out;
        for (const auto& d : table) out.push_back(d.info);
        return available ? out : std::vector<AudioDeviceInfo>{};
    }
    std::optional<AudioDeviceInfo> defaultInputDevice() override {
        const Device* d = available && defaultUID ? find(*defaultUID) : nullptr;
        return d ? std::optional(d->info) : std::nullopt;
    }
    void start(const AudioDeviceInfo& device, Tap t) override {
        startedOn.push_back(device.uid);
        const Device* d = find(device.uid);
        if (d == nullptr || d->startFails) throw std::runtime_error(d ? "device refused to start" : "no device");
        running = true;
        tap_ = std::move(t);
    }
    void stop() override {
        running = false;
        tap_ = nullptr;
    }
    bool isRunning() const override { return running; }
    void setEventHandler(std::function<void(AudioSystemEvent)> h) override { handler = std::move(h); }

    std::vector<Device> table;
    std::optional<std::string> defaultUID;
    bool available = true;
    bool running = false;
    std::vector<std::string> startedOn;  // every start asked for, failed ones too
    std::function<void(AudioSystemEvent)> handler;  // the engine's; call it as the platform would, on the main thread

private:
    Device* find(const std::string& uid) {
        const auto it = std::find_if(table.begin(), table.end(), [&](const Device& d) { return d.info.uid == uid; });
        return it == table.end() ? nullptr : &*it;
    }
    Tap tap_;
    std::uint32_t lastId_ = 0;
    ScopedTimer clock_;
};

// Averages the channels and keeps every n-th frame (integer rate ratios only),
// carrying its phase across buffers. With `bursty` it releases its output only
// on every other buffer, the way a real resampler holds samples back.
class FakeConverter final : public AudioConverter {
public:
    FakeConverter(AudioStreamFormat from, bool bursty, const std::optional<std::string>& failWith)
        : from_(from), bursty_(bursty), failWith_(failWith) {}
    ConversionResult convert(const AudioBufferView& in, std::vector<std::int16_t>& out) override {
        if (failWith_) return {ConversionResult::Status::error, *failWith_};
        const auto step = static_cast<std::uint64_t>(std::max(1.0, std::round(from_.sampleRate / 16000.0)));
        const std::uint32_t ch = from_.channels;
        for (std::size_t f = 0; f < in.frames; ++f, ++position_) {
            if (position_ % step != 0) continue;
            double sum = 0;
            for (std::uint32_t c = 0; c < ch; ++c) sum += in.samples[f * ch + c];
            held_.push_back(static_cast<std::int16_t>(std::lround(sum / ch * 32768.0)));
        }
        if (bursty_ && (++calls_ % 2) == 1) return {ConversionResult::Status::inputRanDry, {}};
        flush(out);
        return {ConversionResult::Status::haveData, {}};
    }
    void flush(std::vector<std::int16_t>& out) override {
        out.insert(out.end(), held_.begin(), held_.end());
        held_.clear();
    }

private:
    AudioStreamFormat from_;
    bool bursty_;
    const std::optional<std::string>& failWith_;
    std::uint64_t position_ = 0, calls_ = 0;
    std::vector<std::int16_t> held_;
};

class FakeConverterFactory final : public AudioConverterFactory {
public:
    std::unique_ptr<AudioConverter> make(const AudioStreamFormat& from) override {
        if (refuse) return nullptr;
        return std::make_unique<FakeConverter>(from, bursty, failWith);
    }
    bool refuse = false;
    bool bursty = false;
    std::optional<std::string> failWith;  // while set, every conversion fails with it
};

}  // namespace parlando::testing
