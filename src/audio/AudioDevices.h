#pragma once
// The input devices the user can choose from, the built-in microphone and the
// system default, read from the sound system on every call (no caching).
#include "audio/AudioBackend.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

class AudioDevices {
public:
    struct Device {
        std::uint32_t id = 0;
        std::string uid;
        std::string name;  // the UID when the device has no name
        bool operator==(const Device&) const = default;
    };

    explicit AudioDevices(AudioBackend& backend) : backend_(backend) {}

    // Devices with at least one input channel, a rate and a UID, in platform order.
    std::vector<Device> inputDevices() const;
    // The first built-in device with an input channel, a rate and a UID.
    std::optional<Device> builtInMicrophone() const;
    // The system's current default input (no channel or rate test).
    std::optional<Device> defaultInputDevice() const;
    // The first input device whose UID equals uid exactly.
    std::optional<Device> device(const std::string& uid) const;
    // Makes the capture input use that device; throws AudioDeviceError.
    void setInputDevice(std::uint32_t id) const;

private:
    static Device toDevice(const AudioDeviceInfo& info);
    AudioBackend& backend_;
};

}  // namespace parlando
