#pragma once
// The microphone engine's errors, each with the text the user sees.
#include <stdexcept>
#include <string>

namespace parlando {

class CaptureError : public std::runtime_error {
public:
    enum class Kind { selectedDeviceMissing, formatUnsupported, engineStartFailed, noInputDevice, muted };

    static CaptureError selectedDeviceMissing(const std::string& uid) {
        return {Kind::selectedDeviceMissing, uid, "Selected mic not connected (uid=" + uid + ")"};
    }
    static CaptureError formatUnsupported(const std::string& what) {
        return {Kind::formatUnsupported, what, "Unsupported input format: " + what};
    }
    static CaptureError engineStartFailed(const std::string& what) {
        return {Kind::engineStartFailed, what, "Audio engine failed to start: " + what};
    }
    static CaptureError noInputDevice() { return {Kind::noInputDevice, {}, "No audio input device available"}; }
    static CaptureError muted() { return {Kind::muted, {}, "Parlando muted — turn on Listening in the menu"}; }

    Kind kind() const { return kind_; }
    // The uid or platform text the case carries (empty for the cases without one).
    const std::string& payload() const { return payload_; }
    std::string errorDescription() const { return what(); }

private:
    CaptureError(Kind kind, std::string payload, const std::string& description)
        : std::runtime_error(description), kind_(kind), payload_(std::move(payload)) {}
    Kind kind_;
    std::string payload_;
};

}  // namespace parlando
