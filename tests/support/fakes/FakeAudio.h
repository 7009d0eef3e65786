#pragma once
// A sound system and a converter for the microphone engine's unit tests.
// FakeAudioBackend keeps a device table the test edits, records what the
// engine asked of it, and (when clocked by a main loop) delivers 20 ms of a
// square wave of the running device's level every 20 ms, on the loop's thread.
#include "audio/AudioBackend.h"
#include "audio/AudioConverter.h"
#include "core/MainLoop.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
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
        double level = 1000.0;          // square-wave amplitude in raw 16-bit units; 0 = silence
        bool startFails = false;        // start() throws
    };

    // Adds an input device; ids count from 1 in the order added.
    Device& add(const std::string& uid, const std::string& name, bool builtIn = false, double rate = 48000,
                std::uint32_t channels = 2) {
        Device d;
        d.info.id = nextId_++;
        d.info.uid = uid;
        d.info.name = name;
        d.info.inputChannels = channels;
        d.info.nominalSampleRate = rate;
        d.info.builtInRank = builtIn ? 2 : 0;
        table.push_back(d);
        return table.back();
    }
    // The device with that UID; throws when there is none (a mistake in the test).
    Device& dev(const std::string& uid) {
        if (Device* d = find(uid)) return *d;
        throw std::logic_error("no fake device " + uid);
    }
    Device* find(const std::string& uid) {
        for (auto& d : table) {
            if (d.info.uid == uid) return &d;
        }
        return nullptr;
    }
    void remove(const std::string& uid) {
        std::erase_if(table, [&](const Device& d) { return d.info.uid == uid; });
    }

    // Deliver audio every 20 ms of the loop's time while running.
    void clockWith(MainLoop& loop) {
        clock_ = loop.every(millis(20), [this] {
            if (running) deliver(millis(20));
        });
        loop_ = &loop;
    }
    ~FakeAudioBackend() override {
        if (loop_ != nullptr) loop_->cancel(clock_);
    }

    // Push `d` of audio of the running device through the tap now.
    void deliver(Duration d) {
        if (!running || !tap) return;
        const Device* dev = runningDevice();
        if (dev == nullptr) return;
        const double rate = dev->info.nominalSampleRate;
        const std::uint32_t ch = dev->info.inputChannels;
        const auto frames = static_cast<std::size_t>(std::llround(toSeconds(d) * rate));
        std::vector<float> buf(frames * ch);
        for (std::size_t f = 0; f < frames; ++f, ++phase_) {
            const float v = static_cast<float>(((phase_ / 8) % 2 == 0 ? 1.0 : -1.0) * dev->level / 32768.0);
            for (std::uint32_t c = 0; c < ch; ++c) buf[f * ch + c] = v;
        }
        tap(AudioBufferView{buf.data(), frames, ch, rate});
    }

    // An event, as the platform would deliver it on the main thread.
    void emit(AudioSystemEvent event) {
        if (handler) handler(event);
    }
    // The server going away (and its stream with it) or coming back.
    void setAvailable(bool on) {
        available = on;
        if (!on) stop();
        emit(on ? AudioSystemEvent::audioSystemAppeared : AudioSystemEvent::audioSystemLost);
    }

    // ---- AudioBackend
    bool isAudioSystemAvailable() override { return available; }
    std::vector<AudioDeviceInfo> devices() override {
        std::vector<AudioDeviceInfo> out;
        if (!available) return out;
        for (const auto& d : table) out.push_back(d.info);
        return out;
    }
    std::optional<AudioDeviceInfo> defaultInputDevice() override {
        if (!available || !defaultUID) return std::nullopt;
        if (auto* d = find(*defaultUID)) return d->info;
        return std::nullopt;
    }
    void start(const AudioDeviceInfo& device, Tap t) override {
        ++starts;
        startedOn.push_back(device.uid);
        Device* d = find(device.uid);
        if (d == nullptr) throw std::runtime_error("no device");
        if (d->startFails) throw std::runtime_error("device refused to start");
        running = true;
        runningId_ = d->info.id;
        tap = std::move(t);
    }
    void stop() override {
        running = false;
        tap = nullptr;
    }
    bool isRunning() const override { return running; }
    void setEventHandler(std::function<void(AudioSystemEvent)> h) override { handler = std::move(h); }

    std::vector<Device> table;
    std::optional<std::string> defaultUID;
    bool available = true;
    bool running = false;
    int starts = 0;
    std::vector<std::string> startedOn;
    Tap tap;
    std::function<void(AudioSystemEvent)> handler;

private:
    const Device* runningDevice() const {
        for (const auto& d : table) {
            if (d.info.id == runningId_) return &d;
        }
        return nullptr;
    }
    std::uint32_t nextId_ = 1;
    std::uint32_t runningId_ = 0;
    std::uint64_t phase_ = 0;
    MainLoop* loop_ = nullptr;
    TimerId clock_ = 0;
};

// Averages the channels and keeps every n-th frame (integer rate ratios only),
// carrying its phase across buffers. With `bursty` it releases its output only
// on every other buffer, the way a real resampler holds samples back.
class FakeConverter final : public AudioConverter {
public:
    FakeConverter(double rate, std::uint32_t channels, bool bursty) : channels_(channels), bursty_(bursty) {
        step_ = static_cast<std::uint64_t>(std::llround(rate / 16000.0));
        if (step_ == 0) step_ = 1;
    }
    ConversionResult convert(const AudioBufferView& in, std::vector<std::int16_t>& out) override {
        if (failWith) return {ConversionResult::Status::error, *failWith};
        for (std::size_t f = 0; f < in.frames; ++f, ++position_) {
            if (position_ % step_ != 0) continue;
            double sum = 0;
            for (std::uint32_t c = 0; c < channels_; ++c) sum += in.samples[f * channels_ + c];
            held_.push_back(static_cast<std::int16_t>(std::lround(sum / channels_ * 32768.0)));
        }
        if (bursty_ && (++calls_ % 2) == 1) return {ConversionResult::Status::inputRanDry, {}};
        out.insert(out.end(), held_.begin(), held_.end());
        held_.clear();
        return {ConversionResult::Status::haveData, {}};
    }
    void flush(std::vector<std::int16_t>& out) override {
        out.insert(out.end(), held_.begin(), held_.end());
        held_.clear();
    }
    std::optional<std::string> failWith;

private:
    std::uint32_t channels_;
    bool bursty_;
    std::uint64_t step_ = 1;
    std::uint64_t position_ = 0;
    std::uint64_t calls_ = 0;
    std::vector<std::int16_t> held_;
};

class FakeConverterFactory final : public AudioConverterFactory {
public:
    std::unique_ptr<AudioConverter> make(const AudioStreamFormat& from) override {
        if (refuse) return nullptr;
        auto c = std::make_unique<FakeConverter>(from.sampleRate, from.channels, bursty);
        last = c.get();
        ++made;
        return c;
    }
    bool refuse = false;
    bool bursty = false;
    FakeConverter* last = nullptr;
    int made = 0;
};

}  // namespace parlando::testing
