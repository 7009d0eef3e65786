#include "meeting/MeetingControls.h"

#include "app/StatusBarController.h"
#include "hotkey/HotkeyNames.h"

#include <exception>
#include <iterator>
#include <system_error>

namespace parlando {

// ------------------------------------------------------------ controls

namespace {

const char* const warningMessage = "Митинг идёт в режиме «только мой микрофон»";
const char* const warningLines[] = {
    "Захват системного звука не подцепился — собеседник в записи слышен НЕ будет.",
    "Скорее всего звуковой сервер не отдал монитор выхода или не пустил поток.",
    "",
    "«Подключить снова» попробует ещё раз прямо в этой встрече. Если не выйдет,",
    "открой настройки звука: проверь, что выход работает и у него есть монитор",
    "(«Monitor of …»), — затем нажми «Подключить снова» или начни митинг заново.",
    "",
    "Текущая встреча продолжит запись только твоего голоса.",
};
const char* const retryButton = "Подключить снова";
const char* const settingsButton = "Открыть настройки звука";
const char* const continueButton = "Продолжить запись";

std::string joinLines() {
    std::string text;
    for (std::size_t i = 0; i < std::size(warningLines); ++i) text += (i == 0 ? "" : "\n") + std::string(warningLines[i]);
    return text;
}

}  // namespace

std::shared_ptr<MeetingControls> MeetingControls::create(std::weak_ptr<StatusBarController> controller,
                                                         MeetingControlsServices services) {
    return std::shared_ptr<MeetingControls>(new MeetingControls(std::move(controller), std::move(services)));
}

MeetingControls::MeetingControls(std::weak_ptr<StatusBarController> controller, MeetingControlsServices services)
    : controller_(std::move(controller)), s_(std::move(services)) {}

MeetingControls::~MeetingControls() {
    // The session outlives us: its reports must not reach a destroyed controller.
    s_.session.setHandlers({});
}

std::function<void()> MeetingControls::weakAction(void (MeetingControls::*method)()) {
    std::weak_ptr<MeetingControls> weakSelf = weak_from_this();
    return [weakSelf, method]() {
        if (auto self = weakSelf.lock()) ((*self).*method)();
    };
}

void MeetingControls::showError(const std::string& message) {
    if (auto c = controller_.lock())
        c->showError(message);
    else
        s_.log.append("error: " + message);
}

std::string MeetingControls::hotkeyLabel() const {
    const std::string chosen = s_.settings.stringOr(hotkeySettingKey, defaultHotkeyName);
    for (const auto& key : hotkeyNames())
        if (key.name == chosen) return std::string(key.label);
    return "FN";
}

void MeetingControls::setupMeetingSession() {
    std::weak_ptr<MeetingControls> weakSelf = weak_from_this();
    MeetingHandlers h;
    h.onStateChange = [weakSelf](bool running) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (auto c = self->controller_.lock()) {
            c->trayState.meetingRecording = running;
            if (!running) c->trayState.systemAudioActive = false;
            c->renderUI();
            c->refreshTrayBadge();
            if (running)
                self->s_.lamp.set(DictationLamp::Phase::recording);
            else if (!c->trayState.fnDictating)
                self->s_.lamp.set(DictationLamp::Phase::idle);
        }
        if (running) {
            self->s_.panel.showForNewMeeting();
            self->startMeetingTitleTimer();
            self->scheduleSystemAudioWatchdog();
        } else {
            self->s_.panel.hide();
            self->stopMeetingTitleTimer();
            self->cancelSystemAudioWatchdog();
        }
    };
    h.onError = [weakSelf](const std::string& description) {
        if (auto self = weakSelf.lock()) self->showError(description);
    };
    h.onTranscriptLine = [weakSelf](const std::string& line) {
        if (auto self = weakSelf.lock()) self->s_.panel.append(line);
    };
    h.onSystemAudioStateChange = [weakSelf](bool up) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->s_.log.append(std::string("ui: meeting systemAudio -> ") + (up ? "true" : "false"));
        if (auto c = self->controller_.lock()) {
            c->trayState.systemAudioActive = up;
            c->renderUI();
            c->refreshTrayBadge();
        }
    };
    s_.session.setHandlers(std::move(h));
}

void MeetingControls::addMeetingMenuItems(MenuModel& menu) {
    if (!s_.session.isRunning()) {
        menu.add(MenuItem::make("Начать встречу", weakAction(&MeetingControls::startMeeting)));
        menu.add(MenuItem::make("Открыть папку с записями…", weakAction(&MeetingControls::openRecordingsFolder)));
        return;
    }
    MenuItem info;
    info.title = "Идёт встреча — " + StatusBarController::formatElapsedTimer(s_.session.elapsedSeconds());
    info.enabled = false;
    menu.add(std::move(info));
    menu.add(MenuItem::make("Остановить встречу", weakAction(&MeetingControls::stopMeeting)));
    menu.add(MenuItem::make("Показать панель расшифровки", weakAction(&MeetingControls::showTranscriptPanel)));
    if (s_.session.transcriptURL())
        menu.add(MenuItem::make("Открыть файл расшифровки…", weakAction(&MeetingControls::openMeetingTranscript)));
    menu.add(MenuItem::make("Открыть папку с записями…", weakAction(&MeetingControls::openRecordingsFolder)));
}

void MeetingControls::startMeeting() {
    if (s_.isMuted && s_.isMuted()) {
        showError("Parlando заглушён — включи «Слушать» чтобы начать встречу");
        return;
    }
    const auto c = controller_.lock();
    if (c && c->trayState.fnDictating) {
        const std::string key = hotkeyLabel();
        showError("Идёт " + key + "-диктовка — отпусти " + key + " прежде чем начать встречу");
        return;
    }
    try {
        s_.session.start();
    } catch (const std::exception& e) {
        const std::string description = e.what();
        showError(description);
        s_.log.append("meeting: start failed — " + description);
    }
}

void MeetingControls::stopMeeting() { s_.session.stop(); }

void MeetingControls::showTranscriptPanel() { s_.panel.reopen(); }

void MeetingControls::openMeetingTranscript() {
    const auto transcript = s_.session.transcriptURL();
    if (!transcript) return;
    if (!s_.desktop.openPath(*transcript)) showError("Не удалось открыть файл расшифровки: " + transcript->string());
}

void MeetingControls::openRecordingsFolder() {
    const auto folder = s_.recordingsFolder ? s_.recordingsFolder() : std::nullopt;
    if (!folder) {
        showError("Не найдена папка документов — задай HOME или XDG_DOCUMENTS_DIR");
        return;
    }
    std::error_code ignored;
    std::filesystem::create_directories(*folder, ignored);
    if (!s_.desktop.openPath(*folder)) showError("Не удалось открыть папку с записями: " + folder->string());
}

// ------------------------------------------------------------ the tray clock

void MeetingControls::startMeetingTitleTimer() {
    meetingTitleTimer_.reset();
    if (auto c = controller_.lock()) c->refreshTrayBadge();
    std::weak_ptr<StatusBarController> weakController = controller_;
    meetingTitleTimer_.startRepeating(s_.loop, seconds(titleTimerInterval), [weakController]() {
        if (auto c = weakController.lock()) c->refreshTrayBadge();
    });
}

void MeetingControls::stopMeetingTitleTimer() {
    meetingTitleTimer_.reset();
    if (auto c = controller_.lock()) c->refreshTrayBadge();
}

// ------------------------------------------------------------ system-audio watchdog

void MeetingControls::scheduleSystemAudioWatchdog() {
    systemAudioWatchdog_.reset();
    systemAudioWarningShownForMeeting = false;
    std::weak_ptr<MeetingControls> weakSelf = weak_from_this();
    systemAudioWatchdog_.startOnce(s_.loop, seconds(systemAudioWatchdogDelay), [weakSelf]() {
        auto self = weakSelf.lock();
        if (!self) return;
        self->systemAudioWatchdog_.release();
        const auto c = self->controller_.lock();
        const bool systemAudioActive = c && c->trayState.systemAudioActive;
        if (self->s_.session.isRunning() && !systemAudioActive && !self->systemAudioWarningShownForMeeting) {
            self->systemAudioWarningShownForMeeting = true;
            self->showSystemAudioWarning();
        }
    });
}

void MeetingControls::cancelSystemAudioWatchdog() { systemAudioWatchdog_.reset(); }

void MeetingControls::showSystemAudioWarning() {
    AlertSpec spec;
    spec.messageText = warningMessage;
    spec.informativeText = joinLines();
    spec.buttons = {retryButton, settingsButton, continueButton};
    const AlertResult answer = s_.alerts.runModal(spec);
    // The meeting may have ended while the dialog was open: nothing to retry then.
    if (answer.buttonIndex == 0 && s_.session.isRunning())
        retrySystemAudio();
    else if (answer.buttonIndex == 1)
        openSoundSettings();
}

void MeetingControls::retrySystemAudio() {
    std::weak_ptr<MeetingControls> weakSelf = weak_from_this();
    s_.session.restartSystemAudio([weakSelf](const std::optional<std::string>& failure) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->s_.log.append(std::string("screen-access: restartSystemAudio -> ") +
                            (failure ? "false — " + *failure : std::string("true")));
        AlertSpec spec;
        if (!failure) {
            spec.messageText = "Системный звук подключён";
            spec.informativeText = "Собеседник теперь попадает в запись этой встречи.";
            spec.buttons = {"Понятно"};
            self->s_.alerts.runModal(spec);
            return;
        }
        spec.messageText = "Системный звук снова не подключился";
        spec.informativeText = "Причина: " + *failure +
                               "\nОткрой настройки звука и проверь выход и его монитор, затем останови и начни "
                               "митинг заново. Встреча пока пишет только твой микрофон.";
        spec.buttons = {settingsButton, "Отмена"};
        if (self->s_.alerts.runModal(spec).buttonIndex == 0) self->openSoundSettings();
    });
}

std::vector<std::vector<std::string>> MeetingControls::soundSettingsCandidates(const std::string& currentDesktop) {
    const std::vector<std::string> gnome{"gnome-control-center", "sound"};
    const std::vector<std::string> kde{"systemsettings", "kcm_pulseaudio"};
    const std::vector<std::string> pavucontrol{"pavucontrol"};  // also XFCE's own mixer
    const std::vector<std::string> pwvucontrol{"pwvucontrol"};
    auto on = [&currentDesktop](const char* name) { return currentDesktop.find(name) != std::string::npos; };
    // The running desktop's own panel first: another desktop's panel may refuse to run outside it.
    if (on("GNOME") || on("Unity") || on("ubuntu")) return {gnome, pavucontrol, pwvucontrol, kde};
    if (on("KDE")) return {kde, pavucontrol, pwvucontrol, gnome};
    return {pavucontrol, pwvucontrol, gnome, kde};
}

void MeetingControls::openSoundSettings() {
    const std::string desktop = s_.env ? s_.env("XDG_CURRENT_DESKTOP").value_or("") : "";
    for (const auto& argv : soundSettingsCandidates(desktop)) {
        if (!s_.desktop.hasProgram(argv.front())) continue;
        if (s_.desktop.launch(argv)) {
            s_.log.append("screen-access: opened sound settings with " + argv.front());
            return;
        }
        s_.log.append("screen-access: could not start " + argv.front());
    }
    s_.log.append("screen-access: no sound settings program found");
    AlertSpec spec;
    spec.messageText = "Не нашлось настроек звука";
    spec.informativeText =
        "Установи pavucontrol (пакет pavucontrol) или pwvucontrol, если у тебя PipeWire: там видно, "
        "какие выходы есть и откуда Parlando записывает собеседника.";
    spec.buttons = {"Понятно"};
    s_.alerts.runModal(spec);
}

}  // namespace parlando
