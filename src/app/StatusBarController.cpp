#include "app/StatusBarController.h"

#include <exception>

namespace parlando {

std::shared_ptr<StatusBarController> StatusBarController::create(AppServices services,
                                                                 std::vector<StartupStep> featureSteps) {
    std::shared_ptr<StatusBarController> controller(new StatusBarController(services));
    controller->start(std::move(featureSteps));
    return controller;
}

StatusBarController::StatusBarController(AppServices services) : services_(services) {}

StatusBarController::~StatusBarController() = default;

void StatusBarController::start(std::vector<StartupStep> featureSteps) {
    // The tray item exists and has been drawn before any feature starts.
    runStep({"setupStatusItem", [](StatusBarController& c) { c.setupStatusItem(); }});
    for (const auto& step : featureSteps) runStep(step);
}

void StatusBarController::runStep(const StartupStep& step) {
    try {
        step.run(*this);
    } catch (const std::exception& e) {
        services_.log.append("error: start-up step " + step.name + " failed: " + e.what());
    } catch (...) {
        services_.log.append("error: start-up step " + step.name + " failed");
    }
}

void StatusBarController::setupStatusItem() {
    TrayButton* button = services_.trayButton;
    if (button == nullptr) {
        services_.log.append("ERROR: button nil");
        return;
    }
    button->setVisible(true);
    std::weak_ptr<StatusBarController> weakSelf = weak_from_this();
    button->setOnClick([weakSelf]() {
        if (auto self = weakSelf.lock()) {
            // The menu arrives with the status-menu feature; a click is harmless until then.
            (void)self;
        }
    });
    renderUI();
    // Hide and show the item once, half a second in: trays that came up after
    // us (or missed our first registration) then pick the item up again.
    auto& loop = services_.loop;
    visibilityBlink_.startOnce(loop, seconds(0.5), [weakSelf, &loop]() {
        auto self = weakSelf.lock();
        if (!self) return;
        self->visibilityBlink_.release();
        if (self->services_.trayButton) self->services_.trayButton->setVisible(false);
        self->visibilityBlink_.startOnce(loop, seconds(0.05), [weakSelf]() {
            auto again = weakSelf.lock();
            if (!again) return;
            again->visibilityBlink_.release();
            if (again->services_.trayButton) again->services_.trayButton->setVisible(true);
        });
    });
}

void StatusBarController::renderUI() { applyTrayIcon(); }

void StatusBarController::applyTrayIcon() {
    TrayButton* button = services_.trayButton;
    if (button == nullptr) return;
    button->setImage(TrayIcon::crossfadeImage(iconBlend, trayState.hasMicSignal, trayState.muted,
                                              trayState.meetingRecording && trayState.fnDictating,
                                              trayState.systemAudioActive));
}

}  // namespace parlando
