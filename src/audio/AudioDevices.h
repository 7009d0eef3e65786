#pragma once
// The input devices the user can choose from, the built-in microphone and the
// system default, read from the sound system's current model on every call.
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
    // The built-in microphone: the first input whose active port is the
    // machine's own microphone; failing that, the first without port
    // information that the platform tags as internal.
    std::optional<Device> builtInMicrophone() const;
    // The system's current default input; when that is the monitor of an
    // output, the first real input instead.
    std::optional<Device> defaultInputDevice() const;
    // The first input device whose UID equals uid exactly.
    std::optional<Device> device(const std::string& uid) const;

    // The same, with what a capture stream needs to know about the device.
    std::vector<AudioDeviceInfo> inputInfos() const;
    std::optional<AudioDeviceInfo> inputInfo(const std::string& uid) const;
    std::optional<AudioDeviceInfo> defaultInputInfo() const;

    static Device toDevice(const AudioDeviceInfo& info);

private:
    AudioBackend& backend_;
};

}  // namespace parlando
