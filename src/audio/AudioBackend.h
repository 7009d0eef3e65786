#pragma once
// The sound system as the microphone engine sees it: a registry of capture
// devices, one capture stream bound to a device, and configuration events.
// The PulseAudio adapter implements it for real; tests use a fake.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace parlando {

// One capture device as the platform describes it. Unreadable values stay at
// their zero defaults; the device logic filters on them.
struct AudioDeviceInfo {
    std::uint32_t id = 0;                // valid while the device is present
    std::string uid;                     // persistent identifier; empty when unreadable
    std::optional<std::string> name;     // display name, when the device has one
    std::uint32_t inputChannels = 0;
    double nominalSampleRate = 0.0;
    bool isBuiltIn = false;              // the machine's own microphone
};

// The format buffers arrive in: interleaved 32-bit float at this rate and
// channel count. A rate of 0 means there is no input to read from.
struct AudioStreamFormat {
    double sampleRate = 0.0;
    std::uint32_t channels = 0;
    std::string description() const;
};

// One buffer of captured audio, valid only during the tap call.
struct AudioBufferView {
    const float* samples = nullptr;  // interleaved
    std::size_t frames = 0;
    std::uint32_t channels = 0;
    double sampleRate = 0.0;
};

// Failure to bind the capture input to a device: a domain, a platform status
// code and a readable description.
class AudioDeviceError : public std::runtime_error {
public:
    AudioDeviceError(std::string domain, long code, const std::string& description)
        : std::runtime_error(description), domain_(std::move(domain)), code_(code) {}
    const std::string& domain() const { return domain_; }
    long code() const { return code_; }

private:
    std::string domain_;
    long code_;
};

enum class AudioSystemEvent {
    configurationChanged,  // a device came or went, the default input changed, the stream's device vanished
    audioSystemAppeared,   // the sound server is reachable (again) after having been away
};

class AudioBackend {
public:
    using Tap = std::function<void(const AudioBufferView&)>;

    virtual ~AudioBackend() = default;

    // Whether the sound system can be reached at all.
    virtual bool isAudioSystemAvailable() = 0;
    // Every capture device, in the platform's order. Never throws; empty when
    // the sound system is away.
    virtual std::vector<AudioDeviceInfo> devices() = 0;
    // The system's current default input, if any.
    virtual std::optional<AudioDeviceInfo> defaultInputDevice() = 0;
    // Bind the capture input to a device (nullopt: follow the system default).
    // Takes effect at the next start. Throws AudioDeviceError.
    virtual void setInputDevice(std::optional<std::uint32_t> id) = 0;
    // The native format of the bound input; sampleRate 0 when there is none.
    virtual AudioStreamFormat inputFormat() = 0;
    // Start capturing from the bound input; tap runs on the audio thread for
    // every buffer. Throws std::runtime_error with a readable description.
    virtual void start(Tap tap) = 0;
    // Stop capturing. Once it returns, the tap is not called again.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
    // Receiver of configuration events; called on the main thread.
    virtual void setEventHandler(std::function<void(AudioSystemEvent)> handler) = 0;
};

}  // namespace parlando
