#pragma once
// Composition root: owns every adapter and feature controller of the running
// application and builds them in the start-up order, each inside its own step,
// so that a step that fails leaves the others standing.
#include "app/AppDelegate.h"
#include "app/LoginItemSettings.h"
#include "app/TrayLog.h"

#include <memory>

namespace parlando {

class AudioCapture;
class AudioWiring;
class AlertPresenter;
class DBusNotifier;
class DeepgramKeyController;
class DeepgramRecognitionFactory;
class DictationController;
class HotkeyMenu;
class KeychainHelper;
class KeychainKeySource;
class LibsecretStore;
class LinuxHotkey;
class LinuxPaste;
class MicrophoneMenu;
class PulseAudioBackend;
class QtMainLoop;
class QtSettings;
class QtWebSocketFactory;
class SoxrConverterFactory;
class SystemSecureRandom;
class TdJsonLibrary;
class TelegramClient;
class TelegramMenu;
class TrayButton;
class AudioCaptureMicrophone;
class DeliveryPaste;
class ControllerDictationTray;
class LightControl;
class LampMenu;
class QtHttpClient;
class QtProcessLauncher;
class UpdateChecker;
class AboutPanelController;
class MeetingSession;
class FileMeetingStorage;
class SystemAudioCaptureFactory;

class ParlandoApp {
public:
    explicit ParlandoApp(Log& log);
    ~ParlandoApp();

    // The launch-finished callback: builds the controller and runs start-up.
    std::shared_ptr<StatusBarController> createController();
    // The one meeting session; none until its start-up step has run.
    std::shared_ptr<MeetingSession> meetingSession() const { return meeting_; }
    // Quit, logout or shutdown: a running meeting is stopped as the menu
    // would, its last results are awaited for at most the 1.5 s tail, and
    // its files are closed.
    void finishMeeting();

private:
    StatusMenuHooks menuHooks();
    void setupFNListener(StatusBarController& controller);
    void setupAudio(StatusBarController& controller);
    void setupUpdates(StatusBarController& controller);
    void setupTelegramClient(StatusBarController& controller);
    void setupMeetingHandlers(StatusBarController& controller);

    Log& log_;
    std::unique_ptr<QtMainLoop> loop_;
    std::unique_ptr<QtSettings> settings_;
    std::unique_ptr<DBusNotifier> notifier_;
    std::unique_ptr<LoginItemSettings> loginItems_;
    std::unique_ptr<LibsecretStore> secretStore_;
    std::unique_ptr<SystemSecureRandom> random_;
    std::unique_ptr<KeychainHelper> keychain_;
    std::unique_ptr<AlertPresenter> alerts_;
    std::unique_ptr<DeepgramKeyController> keyController_;
    std::unique_ptr<QtHttpClient> http_;  // before the lamp and the updates, which send through it
    std::unique_ptr<QtProcessLauncher> launcher_;
    std::unique_ptr<AboutPanelController> about_;
    // The Telegram link: the library outlives the client, which outlives its menu.
    std::unique_ptr<TdJsonLibrary> tdjson_;
    std::shared_ptr<TelegramClient> telegram_;
    std::shared_ptr<TelegramMenu> telegramMenu_;

    // Built by the start-up steps.
    std::unique_ptr<TrayButton> trayButton_;
    std::unique_ptr<QtWebSocketFactory> sockets_;
    std::unique_ptr<DeepgramRecognitionFactory> recognition_;
    std::unique_ptr<KeychainKeySource> keySource_;
    std::unique_ptr<LinuxPaste> paste_;
    std::unique_ptr<DeliveryPaste> dictationPaste_;
    std::shared_ptr<LightControl> lamp_;
    std::unique_ptr<LampMenu> lampMenu_;
    std::shared_ptr<UpdateChecker> updates_;
    std::unique_ptr<ControllerDictationTray> dictationTray_;
    std::unique_ptr<PulseAudioBackend> audioBackend_;
    std::unique_ptr<SoxrConverterFactory> audioConverters_;
    std::unique_ptr<AudioCapture> audio_;
    std::unique_ptr<AudioCaptureMicrophone> microphone_;
    std::unique_ptr<AudioWiring> audioWiring_;
    std::unique_ptr<MicrophoneMenu> micMenu_;
    std::unique_ptr<HotkeyMenu> hotkeyMenu_;
    std::unique_ptr<FileMeetingStorage> meetingStorage_;
    std::unique_ptr<SystemAudioCaptureFactory> systemAudio_;
    std::shared_ptr<MeetingSession> meeting_;
    std::shared_ptr<DictationController> dictation_;
    std::unique_ptr<LinuxHotkey> hotkey_;  // last: its edges stop before anything they reach goes
};

}  // namespace parlando
