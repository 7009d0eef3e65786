#include "audio/AudioWiring.h"

#include "app/Alert.h"
#include "app/StatusBarController.h"

#include <sstream>

namespace parlando {

namespace {
void call(const std::function<void()>& f) {
    if (f) f();
}
}  // namespace

AudioWiring::AudioWiring(std::weak_ptr<StatusBarController> controller, MicEngineControl engine, LampControl lamp)
    : controller_(std::move(controller)), engine_(std::move(engine)), lamp_(std::move(lamp)) {
    if (auto c = controller_.lock()) {
        loop_ = &c->services().loop;
        log_ = &c->services().log;
    }
}

void AudioWiring::setupAudio() {
    auto c = controller_.lock();
    if (!c) return;
    c->trayState.muted = engine_.isMuted ? engine_.isMuted() : false;
    c->renderUI();
    if (!engine_.whenAudioSystemReady) {
        startOnResolvedDevice();
        return;
    }
    auto ranNow = std::make_shared<bool>(false);
    std::weak_ptr<int> alive = alive_;
    engine_.whenAudioSystemReady([this, alive, ranNow] {
        if (!alive.lock()) return;
        *ranNow = true;
        startOnResolvedDevice();
    });
    if (!*ranNow) {
        // The built-in microphone can only be told once the server lists its devices.
        c->services().log.append("audio: waiting for the sound server — the microphone starts when it is there");
        call(lamp_.setIdleReflectingMic);
    }
}

void AudioWiring::startOnResolvedDevice() {
    auto c = controller_.lock();
    if (!c) return;
    Settings& settings = c->services().settings;
    std::optional<std::string> uid;
    const std::string saved = trimmedInput(settings.stringOr(StatusBarController::micDeviceUIDKey, ""));
    if (!saved.empty()) {
        uid = saved;
    } else if (auto builtIn = engine_.builtInMicrophone ? engine_.builtInMicrophone() : std::nullopt) {
        // A first launch starts on the built-in microphone and records it as the choice.
        settings.setString(StatusBarController::micDeviceUIDKey, builtIn->uid);
        uid = builtIn->uid;
    }
    const auto error = engine_.setDeviceUID ? engine_.setDeviceUID(uid) : std::optional<std::string>("no audio engine");
    if (!error) {
        std::ostringstream line;
        line << "audio: always-on engine started (uid=" << uid.value_or("default") << ", pre-roll "
             << engine_.preRollSeconds << "s)";
        c->services().log.append(line.str());
    } else {
        c->services().log.append("audio: bootstrap failed — " + *error + ". Will retry on FN-press.");
    }
    call(lamp_.setIdleReflectingMic);
}

void AudioWiring::onError(const std::string& description) {
    if (loop_ == nullptr || log_ == nullptr) return;
    Log* log = log_;
    loop_->post([log, description]() { log->append("audio: error — " + description); });
}

void AudioWiring::onAvailabilityChange(bool available) {
    if (log_ != nullptr) log_->append(std::string("audio: mic availability -> ") + (available ? "true" : "false"));
    call(available ? lamp_.setIdle : lamp_.setDisconnected);
}

void AudioWiring::onAllMicsFailed() {
    auto c = controller_.lock();
    if (!c) return;
    c->services().log.append("audio: all mics produced silence — clearing saved UID, showing MIC badge");
    c->services().settings.remove(StatusBarController::micDeviceUIDKey);
    c->allMicsFailed = true;
    c->refreshTrayBadge();
}

void AudioWiring::onSelectionFailedFallback(const std::string& failedUID, const std::string& builtInUID) {
    auto c = controller_.lock();
    if (!c) return;
    c->services().log.append("audio: '" + failedUID + "' unavailable — selection reset to built-in mic");
    c->services().settings.setString(StatusBarController::micDeviceUIDKey, builtInUID);
}

void AudioWiring::onSignalChange(bool hasSignal) {
    auto c = controller_.lock();
    if (!c) return;
    c->trayState.hasMicSignal = hasSignal;
    c->renderUI();
}

void AudioWiring::onMutedChange(bool muted) {
    auto c = controller_.lock();
    if (!c) return;
    c->services().log.append(std::string("ui: muted -> ") + (muted ? "true" : "false"));
    c->trayState.muted = muted;
    c->renderUI();
    c->refreshTrayBadge();
    call(lamp_.setIdleReflectingMic);
}

void AudioWiring::onMicsRecovered() {
    auto c = controller_.lock();
    if (!c) return;
    c->services().log.append("audio: mic recovered — clearing MIC badge");
    c->allMicsFailed = false;
    c->refreshTrayBadge();
}

}  // namespace parlando
