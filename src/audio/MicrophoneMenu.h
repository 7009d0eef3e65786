#pragma once
// The "Микрофон" submenu and its actions. The menu is a pure function of what the engine reports and what is saved; the
// engine itself is reached through the callbacks in MicEngineHooks.
#include "app/MenuModel.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

class StatusBarController;

struct MicMenuDevice {
    std::string uid;
    std::string name;
};

struct MicMenuState {
    std::optional<std::string> defaultDeviceName;  // the system default input, when there is one
    std::vector<MicMenuDevice> devices;            // input devices in the system's order
    std::string savedUID;                          // trimmed; "" for the system default
    bool soundServerAway = false;                  // marked at the end; the choice is kept meanwhile
};

std::vector<MenuItem> buildMicSubmenu(const MicMenuState& state, std::function<void()> selectDefault,
                                      std::function<void(const std::string& uid, const std::string& title)> selectDevice);


// What the microphone menu needs from the audio engine (wired at start-up).
struct MicEngineHooks {
    std::function<std::optional<MicMenuDevice>()> defaultInputDevice;
    std::function<std::vector<MicMenuDevice>()> inputDevices;
    // Switches the engine to the device (none: the system default). Returns an
    // error description on failure.
    std::function<std::optional<std::string>(const std::optional<std::string>& uid)> setDeviceUID;
    std::function<bool()> isAudioSystemAvailable;
};

class MicrophoneMenu {
public:
    MicrophoneMenu(std::weak_ptr<StatusBarController> controller, MicEngineHooks engine);

    std::vector<MenuItem> buildMicSubmenu();
    void selectMicDefault();
    void selectMicDevice(const std::string& uid, const std::string& title);

private:
    std::weak_ptr<StatusBarController> controller_;
    MicEngineHooks engine_;
};


}  // namespace parlando
