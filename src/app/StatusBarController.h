#pragma once
// The application controller: owns the tray state and the shared UI helpers,
// and wires the feature controllers together once, at start-up, in a fixed order.
#include "app/MenuModel.h"
#include "app/TrayButton.h"
#include "app/TrayState.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/Settings.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

class LoginItemSettings;
class Notifier;

// What the controller needs from the outside world. Owned by the composition
// root (or a test); the controller only borrows it.
struct AppServices {
    MainLoop& loop;
    Settings& settings;
    Log& log;
    TrayButton* trayButton = nullptr;        // none when the platform has no tray at all
    Notifier* notifier = nullptr;            // desktop notifications; none: nothing is posted
    LoginItemSettings* loginItems = nullptr;  // launch at login; none: the item shows unchecked
};

// Where other features hang into the status menu and the tray badge. Each
// feature's controller fills in its own entries when it is wired up (in the
// composition root or its start-up step); an unset entry leaves its section
// out, or falls back as noted. All run on the main thread.
struct StatusMenuHooks {
    // "Слушать": checked when not muted. Unset: trayState.muted is the answer.
    std::function<bool()> isMuted;
    std::function<void()> toggleListening;
    // The key item: "(задан)" when a key is stored.
    std::function<bool()> isDeepgramKeyPresent;
    std::function<void()> configureDeepgramKey;
    // Submenus, built afresh for every opening.
    std::function<std::vector<MenuItem>()> buildMicSubmenu;     // "Микрофон"
    std::function<std::vector<MenuItem>()> buildHotkeySubmenu;  // "Клавиша диктовки"
    std::function<std::vector<MenuItem>()> buildLightSubmenu;   // "Лампа" (developer mode)
    // Sections added straight into the menu.
    std::function<void(MenuModel&)> addMeetingMenuItems;
    std::function<void(MenuModel&)> addTelegramMenuItems;  // developer mode
    std::function<void(MenuModel&)> addUpdateMenuItems;
    std::function<void()> showAbout;
    std::function<void()> quit;  // "Выход"
    // The meeting as the badge sees it.
    std::function<bool()> isMeetingRunning;
    std::function<double()> meetingElapsedSeconds;
};

class StatusBarController : public std::enable_shared_from_this<StatusBarController> {
public:
    static constexpr const char* micDeviceUIDKey = "ParlandoMicDeviceUID";
    static constexpr const char* devModeKey = "ParlandoDevMode";
    static constexpr double iconTransitionDuration = 0.35;
    static constexpr double iconAnimFPS = 30.0;
    static constexpr double spinnerInterval = 0.1;
    static constexpr double errorToolTipSeconds = 3.0;
    static constexpr double trayProbeDelay = 3.0;
    // While the tray's answer is outstanding the probe looks again this often,
    // for at most trayProbeMaxWait after the first look.
    static constexpr double trayProbeRetry = 0.5;
    static constexpr double trayProbeMaxWait = 15.0;
    static constexpr std::array<const char*, 10> spinnerFrames = {"⠋", "⠙", "⠹", "⠸", "⠼",
                                                                  "⠴", "⠦", "⠧", "⠇", "⠏"};

    // One start-up step. Later features add theirs through the composition
    // root; a step that throws is logged and the next one still runs.
    struct StartupStep {
        std::string name;
        std::function<void(StatusBarController&)> run;
    };

    // Builds the controller and runs the start-up steps in order. Hooks are in
    // place before the first step, so the first rendering already sees them.
    static std::shared_ptr<StatusBarController> create(AppServices services, std::vector<StartupStep> featureSteps = {},
                                                       StatusMenuHooks hooks = {});
    ~StatusBarController();

    StatusBarController(const StatusBarController&) = delete;
    StatusBarController& operator=(const StatusBarController&) = delete;

    // --- tray state and icon
    // Brings the tray button up to date with trayState.
    void renderUI();
    void applyTrayIcon();
    double iconBlendTarget() const;
    bool needsIconAnimator() const;
    void syncIconAnimator();
    void iconAnimatorStep();
    bool iconAnimatorRunning() const { return animTimer_.active(); }
    void refreshTrayBadge();
    void startSpinner();
    void stopSpinner();
    bool spinnerRunning() const { return spinnerTimer_.active(); }
    static std::string formatElapsedTimer(double seconds);
    void scheduleTrayVisibilityProbe();
    void postTrayInvisibleNotification(const std::string& body);

    // --- status menu
    void itemClicked();
    MenuModel buildMenu();
    static std::optional<IconImage> menuIconImage();
    void showError(const std::string& message);
    bool isDevModeEnabled() const;
    void toggleLaunchAtLogin();

    // Each feature keeps its own fields in its own controller: the dictation's
    // captureInFlight, lastFNPressAt and localSession live in DictationController.
    TrayState trayState;
    double iconBlend = 0;
    bool allMicsFailed = false;
    bool sessionStalled = false;
    int spinnerFrameIndex = 0;
    StatusMenuHooks hooks;

    AppServices& services() { return services_; }
    TrayButton* trayButton() const { return services_.trayButton; }
    std::weak_ptr<StatusBarController> weak() { return weak_from_this(); }

private:
    explicit StatusBarController(AppServices services);
    void start(std::vector<StartupStep> featureSteps);
    void runStep(const StartupStep& step);
    void setupStatusItem();
    void runTrayVisibilityProbe();
    double probeWaited_ = 0;
    // Wraps a member action so the menu never keeps the controller alive.
    std::function<void()> weakAction(void (StatusBarController::*method)());

    AppServices services_;
    ScopedTimer visibilityBlink_;
    ScopedTimer animTimer_;
    ScopedTimer spinnerTimer_;
    ScopedTimer probeTimer_;
};

}  // namespace parlando
