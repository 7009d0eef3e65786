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
    // How sure the platform is that this is the machine's own microphone:
    // 2 its active input port says so, 1 it has no port information but an
    // internal form factor (trusted only when no source says 2), 0 not built in.
    int builtInRank = 0;
    bool isMonitor = false;              // the monitor of an output, never a microphone for us
    bool operator==(const AudioDeviceInfo&) const = default;
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

enum class AudioSystemEvent {
    configurationChanged,  // an input came, went or changed, or the default input changed
    streamEnded,           // the capture stream failed or was ended by the server
    audioSystemLost,       // the sound server went away or stopped answering
    audioSystemAppeared,   // the sound server is reachable and its devices are known
};

// Nothing here waits for the sound server: the adapter keeps a model of the
// devices and the default current from the server's own events, and opening a
// stream only asks for it.
class AudioBackend {
public:
    using Tap = std::function<void(const AudioBufferView&)>;

    virtual ~AudioBackend() = default;

    // Whether the sound server is connected and its devices are known.
    virtual bool isAudioSystemAvailable() = 0;
    // Every capture device that is no monitor, in the platform's order. Empty
    // while the sound server is away.
    virtual std::vector<AudioDeviceInfo> devices() = 0;
    // The system's current default input as the server names it: may be a monitor.
    virtual std::optional<AudioDeviceInfo> defaultInputDevice() = 0;
    // Opens capture from exactly this device, at exactly its rate and channel
    // count, and returns without waiting for the server; tap then runs on the
    // audio thread for every buffer. A stream that fails later is reported as
    // streamEnded, a server that does not answer as audioSystemLost. Throws
    // std::runtime_error with a readable description when it cannot even ask.
    virtual void start(const AudioDeviceInfo& device, Tap tap) = 0;
    // Stop capturing. Once it returns, the tap is not called again.
    virtual void stop() = 0;
    // A stream is open or opening.
    virtual bool isRunning() const = 0;
    // Receiver of events; called on the main thread.
    virtual void setEventHandler(std::function<void(AudioSystemEvent)> handler) = 0;
};

}  // namespace parlando
