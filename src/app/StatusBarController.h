#pragma once
// The application controller: owns the tray state and the shared UI helpers,
// and wires the feature controllers together once, at start-up, in a fixed order.
#include "app/TrayButton.h"
#include "app/TrayState.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/Settings.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace parlando {

// What the controller needs from the outside world. Owned by the composition
// root (or a test); the controller only borrows it.
struct AppServices {
    MainLoop& loop;
    Settings& settings;
    Log& log;
    TrayButton* trayButton = nullptr;  // none when the platform has no tray at all
};

class StatusBarController : public std::enable_shared_from_this<StatusBarController> {
public:
    static constexpr const char* micDeviceUIDKey = "ParlandoMicDeviceUID";
    static constexpr double iconTransitionDuration = 0.35;
    static constexpr double iconAnimFPS = 30.0;
    static constexpr double fnDebounce = 0.15;
    static constexpr std::array<const char*, 10> spinnerFrames = {"⠋", "⠙", "⠹", "⠸", "⠼",
                                                                  "⠴", "⠦", "⠧", "⠇", "⠏"};

    // One start-up step. Later features add theirs through the composition
    // root; a step that throws is logged and the next one still runs.
    struct StartupStep {
        std::string name;
        std::function<void(StatusBarController&)> run;
    };

    // Builds the controller and runs the start-up steps in order.
    static std::shared_ptr<StatusBarController> create(AppServices services, std::vector<StartupStep> featureSteps = {});
    ~StatusBarController();

    StatusBarController(const StatusBarController&) = delete;
    StatusBarController& operator=(const StatusBarController&) = delete;

    // Brings the tray button up to date with trayState.
    void renderUI();
    void applyTrayIcon();

    TrayState trayState;
    bool captureInFlight = false;
    double iconBlend = 0;
    bool allMicsFailed = false;
    bool sessionStalled = false;
    int spinnerFrameIndex = 0;

    AppServices& services() { return services_; }
    TrayButton* trayButton() const { return services_.trayButton; }
    std::weak_ptr<StatusBarController> weak() { return weak_from_this(); }

private:
    explicit StatusBarController(AppServices services);
    void start(std::vector<StartupStep> featureSteps);
    void runStep(const StartupStep& step);
    void setupStatusItem();

    AppServices services_;
    ScopedTimer visibilityBlink_;
};

}  // namespace parlando
