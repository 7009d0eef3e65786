#include "audio/AudioDevices.h"

namespace parlando {

AudioDevices::Device AudioDevices::toDevice(const AudioDeviceInfo& info) {
    const bool named = info.name.has_value() && !info.name->empty();
    return Device{info.id, info.uid, named ? *info.name : info.uid};
}

std::vector<AudioDevices::Device> AudioDevices::inputDevices() const {
    std::vector<Device> out;
    for (const auto& info : backend_.devices()) {
        if (info.inputChannels >= 1 && info.nominalSampleRate > 0 && !info.uid.empty()) out.push_back(toDevice(info));
    }
    return out;
}

std::optional<AudioDevices::Device> AudioDevices::builtInMicrophone() const {
    for (const auto& info : backend_.devices()) {
        if (info.isBuiltIn && info.inputChannels >= 1 && info.nominalSampleRate > 0 && !info.uid.empty()) {
            return toDevice(info);
        }
    }
    return std::nullopt;
}

std::optional<AudioDevices::Device> AudioDevices::defaultInputDevice() const {
    auto info = backend_.defaultInputDevice();
    if (!info || info->uid.empty()) return std::nullopt;
    return toDevice(*info);
}

std::optional<AudioDevices::Device> AudioDevices::device(const std::string& uid) const {
    for (auto& d : inputDevices()) {
        if (d.uid == uid) return d;
    }
    return std::nullopt;
}

void AudioDevices::setInputDevice(std::uint32_t id) const { backend_.setInputDevice(id); }

}  // namespace parlando
