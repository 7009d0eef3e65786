#pragma once
// The "Лампа" submenu (developer mode): the address, the switch, the address
// dialog and the test sequence. No state of its own: everything is read from
// and written to the lamp client at the moment of use.
#include "app/Alert.h"
#include "app/MenuModel.h"
#include "lamp/LightControl.h"

#include <functional>
#include <memory>

namespace parlando {

class LampMenu {
public:
    static constexpr double testStepDelay = 0.6;

    struct Services {
        MainLoop& loop;
        Log& log;
        AlertPresenter& alerts;
        std::shared_ptr<LightControl> light;
        std::function<void(const std::string&)> showError;
        std::function<bool()> isMicAvailable;  // unset: available
    };

    explicit LampMenu(Services services) : s_(std::move(services)) {}

    std::vector<MenuItem> buildLightSubmenu();
    void toggleLightEnabled();
    void configureLightHost();
    void testLight();

private:
    Services s_;
    ScopedTimer testStep_;
};

}  // namespace parlando
