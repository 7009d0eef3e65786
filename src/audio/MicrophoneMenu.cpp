#include "audio/MicrophoneMenu.h"

#include "app/Alert.h"
#include "app/StatusBarController.h"

namespace parlando {

std::vector<MenuItem> buildMicSubmenu(const MicMenuState& state, std::function<void()> selectDefault,
                                      std::function<void(const std::string&, const std::string&)> selectDevice) {
    std::vector<MenuItem> items;
    MenuItem def = MenuItem::make(state.defaultDeviceName ? "По умолчанию (" + *state.defaultDeviceName + ")"
                                                          : std::string("По умолчанию"),
                                  std::move(selectDefault));
    def.checked = state.savedUID.empty();
    items.push_back(std::move(def));
    if (!state.devices.empty()) {
        items.push_back(MenuItem::separator());
        for (const auto& device : state.devices) {
            MenuItem item = MenuItem::make(device.name, [selectDevice, device]() {
                if (selectDevice) selectDevice(device.uid, device.name);
            });
            item.checked = device.uid == state.savedUID;
            items.push_back(std::move(item));
        }
    }
    if (state.soundServerAway) {
        // Why the list is empty and nothing records: the choice waits for the server.
        items.push_back(MenuItem::separator());
        MenuItem away = MenuItem::make("Звуковой сервер недоступен", {});
        away.enabled = false;
        items.push_back(std::move(away));
    }
    return items;
}


MicrophoneMenu::MicrophoneMenu(std::weak_ptr<StatusBarController> controller, MicEngineHooks engine)
    : controller_(std::move(controller)), engine_(std::move(engine)) {}

std::vector<MenuItem> MicrophoneMenu::buildMicSubmenu() {
    auto c = controller_.lock();
    if (!c) return {};
    MicMenuState state;
    state.savedUID = trimmedInput(c->services().settings.stringOr(StatusBarController::micDeviceUIDKey, ""));
    if (engine_.defaultInputDevice) {
        if (auto d = engine_.defaultInputDevice()) state.defaultDeviceName = d->name;
    }
    if (engine_.inputDevices) state.devices = engine_.inputDevices();
    state.soundServerAway = engine_.isAudioSystemAvailable && !engine_.isAudioSystemAvailable();
    // The menu may outlive this object's owner; actions hold nothing strongly.
    auto weakController = controller_;
    auto engine = engine_;
    return parlando::buildMicSubmenu(
        state, [weakController, engine]() { MicrophoneMenu(weakController, engine).selectMicDefault(); },
        [weakController, engine](const std::string& uid, const std::string& title) {
            MicrophoneMenu(weakController, engine).selectMicDevice(uid, title);
        });
}

void MicrophoneMenu::selectMicDefault() {
    auto c = controller_.lock();
    if (!c) return;
    c->services().settings.remove(StatusBarController::micDeviceUIDKey);
    c->allMicsFailed = false;
    c->refreshTrayBadge();
    const auto error = engine_.setDeviceUID ? engine_.setDeviceUID(std::nullopt) : std::nullopt;
    if (!error) {
        c->services().log.append("mic: using system default");
    } else {
        c->showError(*error);
        c->services().log.append("mic: switch to default failed — " + *error);
    }
}

void MicrophoneMenu::selectMicDevice(const std::string& uid, const std::string& title) {
    auto c = controller_.lock();
    if (!c) return;
    c->services().settings.setString(StatusBarController::micDeviceUIDKey, uid);
    c->allMicsFailed = false;
    c->refreshTrayBadge();
    const auto error = engine_.setDeviceUID ? engine_.setDeviceUID(uid) : std::nullopt;
    if (!error) {
        c->services().log.append("mic: selected " + title + " (" + uid + ")");
    } else {
        c->showError(*error);
        c->services().log.append("mic: switch to " + uid + " failed — " + *error);
    }
}

}  // namespace parlando
