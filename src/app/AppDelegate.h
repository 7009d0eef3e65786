#pragma once
// The application's launch callbacks: logs the launch and creates the one
// controller, which it owns for the life of the process.
#include "app/StatusBarController.h"

#include <functional>
#include <memory>

namespace parlando {

class AppDelegate {
public:
    using ControllerFactory = std::function<std::shared_ptr<StatusBarController>()>;

    AppDelegate(Log& log, ControllerFactory factory) : log_(log), factory_(std::move(factory)) {}

    void applicationWillFinishLaunching() { log_.append("applicationWillFinishLaunching"); }
    void applicationDidFinishLaunching() {
        log_.append("applicationDidFinishLaunching (main-thread sync setup)");
        status = factory_();
    }

    std::shared_ptr<StatusBarController> status;

private:
    Log& log_;
    ControllerFactory factory_;
};

}  // namespace parlando
