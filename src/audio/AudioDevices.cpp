#include "audio/AudioDevices.h"

namespace parlando {

AudioDevices::Device AudioDevices::toDevice(const AudioDeviceInfo& info) {
    const bool named = info.name.has_value() && !info.name->empty();
    return Device{info.id, info.uid, named ? *info.name : info.uid};
}

std::vector<AudioDeviceInfo> AudioDevices::inputInfos() const {
    std::vector<AudioDeviceInfo> out;
    for (auto& info : backend_.devices()) {
        if (!info.isMonitor && info.inputChannels >= 1 && info.nominalSampleRate > 0 && !info.uid.empty()) {
            out.push_back(std::move(info));
        }
    }
    return out;
}

std::optional<AudioDeviceInfo> AudioDevices::inputInfo(const std::string& uid) const {
    for (auto& info : inputInfos()) {
        if (info.uid == uid) return info;
    }
    return std::nullopt;
}

std::optional<AudioDeviceInfo> AudioDevices::defaultInputInfo() const {
    auto info = backend_.defaultInputDevice();
    if (!info || info->uid.empty()) return std::nullopt;
    if (!info->isMonitor) return info;
    auto inputs = inputInfos();
    if (inputs.empty()) return std::nullopt;
    return inputs.front();
}

std::vector<AudioDevices::Device> AudioDevices::inputDevices() const {
    std::vector<Device> out;
    for (const auto& info : inputInfos()) out.push_back(toDevice(info));
    return out;
}

std::optional<AudioDevices::Device> AudioDevices::builtInMicrophone() const {
    const AudioDeviceInfo* best = nullptr;
    const auto inputs = inputInfos();
    for (const auto& info : inputs) {
        if (info.builtInRank > 0 && (best == nullptr || info.builtInRank > best->builtInRank)) best = &info;
    }
    if (best == nullptr) return std::nullopt;
    return toDevice(*best);
}

std::optional<AudioDevices::Device> AudioDevices::defaultInputDevice() const {
    auto info = defaultInputInfo();
    if (!info) return std::nullopt;
    return toDevice(*info);
}

std::optional<AudioDevices::Device> AudioDevices::device(const std::string& uid) const {
    auto info = inputInfo(uid);
    if (!info) return std::nullopt;
    return toDevice(*info);
}

}  // namespace parlando
