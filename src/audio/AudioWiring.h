#pragma once
// The controller's side of the always-on microphone: the start-up step
// setupAudio, and the engine's reports turned into log lines, tray state, the
// "MIC" badge and lamp phases. The engine and the lamp are reached through
// the function hooks below, which the composition root fills in from the
// audio engine and the lamp client; it also points the engine's callbacks
// (onError, onAvailabilityChange, ...) at the handlers of the same names.
#include "audio/MicrophoneMenu.h"
#include "core/Log.h"
#include "core/MainLoop.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parlando {

class StatusBarController;

struct MicEngineControl {
    std::function<bool()> isMuted;
    double preRollSeconds = 1.5;
    // Binds the engine to a device (none: the system default) and starts it
    // unless muted. Returns an error description on failure.
    std::function<std::optional<std::string>(const std::optional<std::string>& uid)> setDeviceUID;
    std::function<std::optional<MicMenuDevice>()> builtInMicrophone;
    // Runs fn now when the sound server's devices are known, else once they are.
    std::function<void(std::function<void()> fn)> whenAudioSystemReady;
};

struct LampControl {
    std::function<void()> setIdle;                 // phase idle
    std::function<void()> setDisconnected;         // phase disconnected
    std::function<void()> setIdleReflectingMic;    // idle, or disconnected while muted
};

class AudioWiring {
public:
    AudioWiring(std::weak_ptr<StatusBarController> controller, MicEngineControl engine, LampControl lamp);

    // Start-up: tray mirrors the mute state, then, as soon as the sound
    // server's devices are known (at once, or whenever it comes), the start
    // device is resolved (saved, else the built-in microphone recorded as the
    // choice, else the system default) and the engine is started. Never waits.
    void setupAudio();

    // The engine's reports. onError may come from the audio thread; the rest
    // arrive on the main thread.
    void onError(const std::string& description);
    void onAvailabilityChange(bool available);
    void onAllMicsFailed();
    void onSelectionFailedFallback(const std::string& failedUID, const std::string& builtInUID);
    void onSignalChange(bool hasSignal);
    void onMutedChange(bool muted);
    void onMicsRecovered();

private:
    void startOnResolvedDevice();

    std::weak_ptr<StatusBarController> controller_;
    MicEngineControl engine_;
    LampControl lamp_;
    // Captured at construction: the two handlers that do not need the
    // controller keep working without it.
    MainLoop* loop_ = nullptr;
    Log* log_ = nullptr;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // the deferred start holds it weakly
};

}  // namespace parlando
