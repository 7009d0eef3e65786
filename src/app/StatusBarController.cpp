#include "app/StatusBarController.h"

#include "app/LoginItemSettings.h"
#include "app/Notifier.h"
#include "app/TrayProbe.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <numbers>

namespace parlando {

std::shared_ptr<StatusBarController> StatusBarController::create(AppServices services,
                                                                 std::vector<StartupStep> featureSteps,
                                                                 StatusMenuHooks hooks) {
    std::shared_ptr<StatusBarController> controller(new StatusBarController(services));
    controller->hooks = std::move(hooks);
    controller->start(std::move(featureSteps));
    return controller;
}

StatusBarController::StatusBarController(AppServices services) : services_(services) {}

StatusBarController::~StatusBarController() {
    // The tray adapter outlives us; it must not call back into a dead controller.
    if (services_.trayButton != nullptr) {
        services_.trayButton->setOnClick({});
        services_.trayButton->setMenuProvider({});
    }
}

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
        // Nothing to click; still tell the user why there is no icon.
        scheduleTrayVisibilityProbe();
        return;
    }
    button->setVisible(true);
    button->setImagePosition(ImagePosition::imageOnly);
    std::weak_ptr<StatusBarController> weakSelf = weak_from_this();
    button->setOnClick([weakSelf]() {
        if (auto self = weakSelf.lock()) self->itemClicked();
    });
    button->setMenuProvider([weakSelf]() {
        if (auto self = weakSelf.lock()) return self->buildMenu();
        return MenuModel{};
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
    scheduleTrayVisibilityProbe();
}

// ------------------------------------------------------------------ icon

void StatusBarController::renderUI() {
    applyTrayIcon();
    syncIconAnimator();
}

void StatusBarController::applyTrayIcon() {
    TrayButton* button = services_.trayButton;
    if (button == nullptr) return;
    button->setImage(TrayIcon::crossfadeImage(iconBlend, trayState.hasMicSignal, trayState.muted,
                                              trayState.meetingRecording && trayState.fnDictating,
                                              trayState.systemAudioActive));
}

double StatusBarController::iconBlendTarget() const { return trayState.recording() ? 1.0 : 0.0; }

bool StatusBarController::needsIconAnimator() const {
    return (sessionStalled && trayState.recording()) || std::fabs(iconBlend - iconBlendTarget()) > 0.002;
}

void StatusBarController::syncIconAnimator() {
    if (!needsIconAnimator()) {
        animTimer_.reset();
        return;
    }
    if (animTimer_.active()) return;
    std::weak_ptr<StatusBarController> weakSelf = weak_from_this();
    animTimer_.startRepeating(services_.loop, seconds(1.0 / iconAnimFPS), [weakSelf]() {
        if (auto self = weakSelf.lock()) self->iconAnimatorStep();
    });
    iconAnimatorStep();
}

void StatusBarController::iconAnimatorStep() {
    if (sessionStalled && trayState.recording()) {
        // Pulse between 0.30 and 1.00 twice a second.
        const double t = std::chrono::duration<double>(services_.loop.wallNow().time_since_epoch()).count();
        iconBlend = 0.65 + 0.35 * std::sin(2.0 * std::numbers::pi * 2.0 * t);
    } else {
        const double target = iconBlendTarget();
        const double step = 1.0 / (iconAnimFPS * iconTransitionDuration);
        if (std::fabs(iconBlend - target) <= step * 0.5) {
            iconBlend = target;
        } else if (target <= iconBlend) {
            iconBlend += std::max(-step, target - iconBlend);
        } else {
            iconBlend += std::min(step, target - iconBlend);
        }
    }
    applyTrayIcon();
    syncIconAnimator();
}

// ------------------------------------------------------------ badge, spinner

std::string StatusBarController::formatElapsedTimer(double secs) {
    // Callers pass a finite, non-negative duration; anything else shows as zero
    // rather than as a garbage clock.
    if (!std::isfinite(secs) || secs < 0) secs = 0;
    const long long s = static_cast<long long>(secs);
    const long long h = s / 3600, m = (s % 3600) / 60, sec = s % 60;
    char buf[48];
    if (h < 1)
        std::snprintf(buf, sizeof buf, "%02lld:%02lld", m, sec);
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", h, m, sec);
    return buf;
}

void StatusBarController::refreshTrayBadge() {
    TrayButton* button = services_.trayButton;
    if (button == nullptr) return;
    const std::string frame = spinnerFrames[static_cast<std::size_t>(((spinnerFrameIndex % 10) + 10) % 10)];
    const bool meeting = hooks.isMeetingRunning && hooks.isMeetingRunning();
    if (meeting) {
        const double elapsed = hooks.meetingElapsedSeconds ? hooks.meetingElapsedSeconds() : 0.0;
        std::string suffix;
        if (trayState.fnDictating)
            suffix = " ▌";
        else if (trayState.processing)
            suffix = " " + frame;
        const std::string side = trayState.systemAudioActive ? "мик + система" : "только мик";
        button->setImagePosition(ImagePosition::imageLeft);
        button->setTitle(" " + formatElapsedTimer(elapsed) + suffix);
        button->setToolTip(trayState.fnDictating ? "Запись встречи (" + side + ") + FN-диктовка в буфер"
                                                 : "Идёт запись встречи — " + side);
    } else if (trayState.processing) {
        button->setImagePosition(ImagePosition::imageLeft);
        button->setTitle(" " + frame);
        button->setToolTip(std::string("Собираем расшифровку в буфер обмена…"));
    } else if (allMicsFailed) {
        button->setImagePosition(ImagePosition::imageLeft);
        button->setTitle(" MIC");
        button->setToolTip(std::string("Нет рабочего микрофона — ни одно входное устройство не даёт звук. "
                                       "Подключи микрофон или выбери его в меню."));
    } else {
        button->setImagePosition(ImagePosition::imageOnly);
        button->setTitle("");
        button->setToolTip(std::nullopt);
    }
}

void StatusBarController::startSpinner() {
    spinnerTimer_.reset();
    spinnerFrameIndex = 0;
    refreshTrayBadge();
    std::weak_ptr<StatusBarController> weakSelf = weak_from_this();
    spinnerTimer_.startRepeating(services_.loop, seconds(spinnerInterval), [weakSelf]() {
        auto self = weakSelf.lock();
        if (!self) return;
        self->spinnerFrameIndex = (self->spinnerFrameIndex + 1) % 10;
        self->refreshTrayBadge();
    });
}

void StatusBarController::stopSpinner() {
    spinnerTimer_.reset();
    refreshTrayBadge();
}

// ------------------------------------------------------------ visibility probe

void StatusBarController::scheduleTrayVisibilityProbe() {
    std::weak_ptr<StatusBarController> weakSelf = weak_from_this();
    probeTimer_.startOnce(services_.loop, seconds(probeWaited_ > 0 ? trayProbeRetry : trayProbeDelay), [weakSelf]() {
        auto self = weakSelf.lock();
        if (!self) return;
        self->probeTimer_.release();
        self->runTrayVisibilityProbe();
    });
}

void StatusBarController::runTrayVisibilityProbe() {
    TrayButton* button = services_.trayButton;
    TrayPresence presence;
    if (button != nullptr) presence = button->presence();
    if (presence.answerPending && probeWaited_ < trayProbeMaxWait) {
        if (probeWaited_ == 0) services_.log.append(judgeTrayPresence(true, presence).logLine);
        probeWaited_ += trayProbeRetry;
        scheduleTrayVisibilityProbe();
        return;
    }
    presence.answerPending = false;  // waited long enough: judge what is known
    const TrayProbeVerdict verdict = judgeTrayPresence(button != nullptr, presence);
    services_.log.append(verdict.logLine);
    if (!verdict.visible) postTrayInvisibleNotification(verdict.notificationBody);
}

void StatusBarController::postTrayInvisibleNotification(const std::string& body) {
    if (services_.notifier == nullptr) {
        services_.log.append("tray-probe: notification post failed — no notification service");
        return;
    }
    Notification n;
    n.title = trayInvisibleTitle;
    n.body = body;
    n.identifier = trayInvisibleIdentifier;
    n.sound = true;
    Log& log = services_.log;
    services_.notifier->post(n, [&log](const std::optional<std::string>& error) {
        if (error) log.append("tray-probe: notification post failed — " + *error);
    });
}

// ------------------------------------------------------------------ menu

std::function<void()> StatusBarController::weakAction(void (StatusBarController::*method)()) {
    std::weak_ptr<StatusBarController> weakSelf = weak_from_this();
    return [weakSelf, method]() {
        if (auto self = weakSelf.lock()) ((*self).*method)();
    };
}

void StatusBarController::itemClicked() {
    TrayButton* button = services_.trayButton;
    if (button == nullptr) return;
    button->popUpMenu(buildMenu());
}

bool StatusBarController::isDevModeEnabled() const { return services_.settings.boolOr(devModeKey, false); }

namespace {
// A hook that may be unset: an unset one does nothing.
std::function<void()> orNothing(const std::function<void()>& f) {
    return f ? f : std::function<void()>([] {});
}
MenuItem submenuItem(std::string title, std::vector<MenuItem> items) {
    MenuItem m = MenuItem::sub(std::move(title), std::move(items));
    // A submenu with nothing in it cannot be opened usefully.
    m.enabled = !m.submenu.empty();
    return m;
}
}  // namespace

MenuModel StatusBarController::buildMenu() {
    // Sections in their fixed order; a separator stands only between two
    // sections that have items, so an empty or hidden one leaves no gap.
    std::vector<MenuModel> sections;
    sections.reserve(8);  // references into it are held while later sections are added
    auto section = [&sections]() -> MenuModel& { return sections.emplace_back(); };

    MenuItem listen = MenuItem::make("Слушать", orNothing(hooks.toggleListening));
    const bool muted = hooks.isMuted ? hooks.isMuted() : trayState.muted;
    listen.checked = !muted;
    section().add(std::move(listen));

    if (hooks.addMeetingMenuItems) hooks.addMeetingMenuItems(section());

    MenuModel& devices = section();
    const bool keyPresent = hooks.isDeepgramKeyPresent && hooks.isDeepgramKeyPresent();
    devices.add(MenuItem::make(keyPresent ? "Ключ Deepgram API… (задан)" : "Ключ Deepgram API…",
                               orNothing(hooks.configureDeepgramKey)));
    devices.add(submenuItem("Микрофон", hooks.buildMicSubmenu ? hooks.buildMicSubmenu() : std::vector<MenuItem>{}));
    if (hooks.buildHotkeySubmenu) devices.add(submenuItem("Клавиша диктовки", hooks.buildHotkeySubmenu()));

    if (isDevModeEnabled()) {
        devices.add(
            submenuItem("Лампа", hooks.buildLightSubmenu ? hooks.buildLightSubmenu() : std::vector<MenuItem>{}));
        if (hooks.addTelegramMenuItems) hooks.addTelegramMenuItems(section());
    }

    MenuItem login = MenuItem::make("Запускать при входе в систему", weakAction(&StatusBarController::toggleLaunchAtLogin));
    login.checked = services_.loginItems != nullptr && services_.loginItems->isLaunchAtLoginEnabled();
    section().add(std::move(login));

    if (hooks.addUpdateMenuItems) hooks.addUpdateMenuItems(section());

    MenuModel& last = section();
    MenuItem about = MenuItem::make("О Parlando…", orNothing(hooks.showAbout));
    about.image = menuIconImage();
    last.add(std::move(about));
    MenuItem quit = MenuItem::make("Выход", orNothing(hooks.quit));
    quit.keyEquivalent = "q";
    last.add(std::move(quit));

    MenuModel menu;
    for (auto& part : sections) {
        if (part.items.empty()) continue;
        if (!menu.items.empty()) menu.addSeparator();
        for (auto& item : part.items) menu.add(std::move(item));
    }
    return menu;
}

std::optional<IconImage> StatusBarController::menuIconImage() { return TrayIcon::appIconImage(); }

void StatusBarController::showError(const std::string& message) {
    services_.log.append("error: " + message);
    TrayButton* button = services_.trayButton;
    if (button == nullptr) return;
    button->setToolTip(message);
    // Each call schedules its own removal, which clears whatever tip is
    // showing by then.
    std::weak_ptr<StatusBarController> weakSelf = weak_from_this();
    services_.loop.after(seconds(errorToolTipSeconds), [weakSelf]() {
        auto self = weakSelf.lock();
        if (!self || self->services_.trayButton == nullptr) return;
        self->services_.trayButton->setToolTip(std::nullopt);
    });
}

// ------------------------------------------------------------ launch at login

void StatusBarController::toggleLaunchAtLogin() {
    if (services_.loginItems == nullptr) {
        showError("Автозапуск недоступен");
        services_.log.append("Launch at login error: no autostart folder");
        return;
    }
    const bool newValue = !services_.loginItems->isLaunchAtLoginEnabled();
    try {
        services_.loginItems->setLaunchAtLogin(newValue);
        services_.log.append(std::string("Launch at login: ") + (newValue ? "true" : "false"));
    } catch (const std::exception& e) {
        showError(e.what());
        services_.log.append(std::string("Launch at login error: ") + e.what());
    }
}

}  // namespace parlando
