#include "ParlandoApp.h"

#include "audio/AudioWiring.h"
#include "audio/MicrophoneMenu.h"
#include "hotkey/HotkeyMenu.h"
#include "app/AboutPanelController.h"
#include "app/adapters/DBusNotifier.h"
#include "app/adapters/QtAboutPanel.h"
#include "app/adapters/QtAlertPresenter.h"
#include "app/adapters/TraySelector.h"
#include "audio/AudioCapture.h"
#include "audio/adapters/PulseAudioBackend.h"
#include "audio/adapters/PulseSystemAudioCapture.h"
#include "audio/adapters/SoxrConverter.h"
#include "core/XdgPaths.h"
#include "core/adapters/QtHttpClient.h"
#include "core/adapters/QtMainLoop.h"
#include "core/adapters/QtSettings.h"
#include "credentials/DeepgramKeyController.h"
#include "credentials/KeychainHelper.h"
#include "credentials/adapters/LibsecretStore.h"
#include "credentials/adapters/SystemSecureRandom.h"
#include "dictation/DictationController.h"
#include "dictation/DictationWiring.h"
#include "core/DisplaySession.h"
#include "dictation/adapters/LinuxPaste.h"
#include "hotkey/adapters/LinuxHotkey.h"
#include "lamp/LampMenu.h"
#include "lamp/LightControl.h"
#include "meeting/MeetingControls.h"
#include "update/UpdateChecker.h"
#include "update/adapters/QtProcessLauncher.h"
#include "meeting/MeetingSession.h"
#include "meeting/adapters/FileMeetingStorage.h"
#include "meeting/adapters/QtMeetingDesktop.h"
#include "meeting/adapters/TranscriptPanelController.h"
#include "speech/adapters/QtWebSocket.h"
#include "telegram/TelegramClient.h"
#include "telegram/TelegramMenu.h"
#include "telegram/adapters/LinuxDevice.h"
#include "telegram/adapters/TdJsonLibrary.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace parlando {

namespace {
MicMenuDevice toMenuDevice(const AudioDevices::Device& d) { return MicMenuDevice{d.uid, d.name}; }

#ifndef PARLANDO_UPDATE_URL
#define PARLANDO_UPDATE_URL ""
#endif
#ifndef PARLANDO_HOMEPAGE_URL
#define PARLANDO_HOMEPAGE_URL ""
#endif
#ifndef PARLANDO_DOC_DIR
#define PARLANDO_DOC_DIR "/usr/share/doc/parlando"
#endif

// The update server: PARLANDO_UPDATE_URL in the environment, else the one
// this build was configured with, else none.
std::optional<std::string> updateServerURL() {
    std::string url = processEnv("PARLANDO_UPDATE_URL").value_or(PARLANDO_UPDATE_URL);
    while (!url.empty() && url.back() == '/') url.pop_back();
    if (url.empty()) return std::nullopt;
    return url;
}

QtAboutPanel::Content aboutContent() {
    QtAboutPanel::Content content{QString::fromUtf8(PARLANDO_VERSION), {}, {}};
    const QString homepage = QString::fromUtf8(PARLANDO_HOMEPAGE_URL);
    if (!homepage.isEmpty()) {
        content.site = QUrl(homepage);
        content.siteTitle = content.site.host();
    } else {
        // No web site of our own: the documentation installed beside the program.
        content.site = QUrl::fromLocalFile(QString::fromUtf8(PARLANDO_DOC_DIR) + "/README.md");
        content.siteTitle = QStringLiteral("Документация");
    }
    return content;
}
}  // namespace

ParlandoApp::ParlandoApp(Log& log)
    : log_(log),
      loop_(std::make_unique<QtMainLoop>()),
      settings_(std::make_unique<QtSettings>()),
      notifier_(std::make_unique<DBusNotifier>()),
      loginItems_(std::make_unique<LoginItemSettings>(LoginItemSettings::defaultAutostartDir(),
                                                      QCoreApplication::applicationFilePath().toStdString())),
      secretStore_(std::make_unique<LibsecretStore>()),
      random_(std::make_unique<SystemSecureRandom>()),
      keychain_(std::make_unique<KeychainHelper>(*secretStore_, *random_)),
      alerts_(std::make_unique<QtAlertPresenter>()),
      http_(std::make_unique<QtHttpClient>()),
      launcher_(std::make_unique<QtProcessLauncher>()) {
    AboutServices about{*loop_, *settings_, log_, *alerts_, {}, [this]() -> std::optional<std::string> {
                            if (!trayButton_) return std::string("no tray icon");
                            return trayButton_->reattach();
                        }};
    about_ = std::make_unique<AboutPanelController>(about, [](AboutPanelController& controller) {
        return std::make_unique<QtAboutPanel>(controller, aboutContent());
    });
}

ParlandoApp::~ParlandoApp() {
    // Producers stop before what they call goes: key edges first, then a
    // meeting (it closes its files while the microphone it records is still
    // there), then the dictations (their timers reach the microphone), then
    // the microphone engine, whose audio thread calls the audio wiring.
    if (hotkey_) hotkey_->listener().stop();
    finishMeeting();
    meeting_.reset();
    if (dictation_) dictation_->endSessions();
    dictation_.reset();
    microphone_.reset();
    audio_.reset();
    // TDLib's database stays consistent only when TDLib closes it.
    if (telegram_) telegram_->closeForQuit(seconds(2));
}

void ParlandoApp::finishMeeting() {
    if (!meeting_) return;
    meeting_->stop();
    QElapsedTimer waited;
    waited.start();
    const auto limit = static_cast<qint64>(MeetingSession::tailSeconds * 1000);
    while (meeting_->tailPending() && waited.elapsed() < limit)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    meeting_->shutdown();
}

std::shared_ptr<StatusBarController> ParlandoApp::createController() {
    // The tray path is chosen as the controller comes up: StatusNotifierItem or XEmbed.
    trayButton_ = makeTrayButton(log_);
    AppServices services{*loop_, *settings_, log_, trayButton_.get(), notifier_.get(), loginItems_.get()};
    std::vector<StatusBarController::StartupStep> steps{
        {"setupFNListener", [this](StatusBarController& c) { setupFNListener(c); }},
        {"setupTelegramClient", [this](StatusBarController& c) { setupTelegramClient(c); }},
        {"setupAudio", [this](StatusBarController& c) { setupAudio(c); }},
        {"setupMeetingHandlers", [this](StatusBarController& c) { setupMeetingHandlers(c); }},
        {"startBackgroundChecks", [this](StatusBarController& c) { setupUpdates(c); }},
    };
    auto controller = StatusBarController::create(services, std::move(steps), menuHooks());
    keyController_ = std::make_unique<DeepgramKeyController>(
        *keychain_, *alerts_, log_, [weak = controller->weak()](const std::string& message) {
            if (auto c = weak.lock()) c->showError(message);
        });
    return controller;
}

StatusMenuHooks ParlandoApp::menuHooks() {
    StatusMenuHooks hooks;
    hooks.isMuted = [this] { return audio_ ? audio_->isMuted() : settings_->boolOr(AudioCapture::mutedKey, true); };
    hooks.toggleListening = [this] {
        if (dictation_) dictation_->toggleListening();
    };
    hooks.isDeepgramKeyPresent = [this] { return keyController_ && keyController_->isDeepgramKeyPresent(); };
    hooks.configureDeepgramKey = [this] {
        if (keyController_) keyController_->configureDeepgramKey();
    };
    hooks.buildMicSubmenu = [this] { return micMenu_ ? micMenu_->buildMicSubmenu() : std::vector<MenuItem>{}; };
    hooks.buildHotkeySubmenu = [this] { return hotkeyMenu_ ? hotkeyMenu_->buildSubmenu() : std::vector<MenuItem>{}; };
    hooks.buildLightSubmenu = [this] { return lampMenu_ ? lampMenu_->buildLightSubmenu() : std::vector<MenuItem>{}; };
    hooks.addUpdateMenuItems = [this](MenuModel& menu) {
        if (updates_) updates_->addUpdateMenuItems(menu);
    };
    hooks.showAbout = [this] { about_->show(); };
    hooks.addTelegramMenuItems = [this](MenuModel& menu) {
        if (telegramMenu_) telegramMenu_->addTelegramMenuItems(menu);
    };
    hooks.quit = [] { QCoreApplication::quit(); };
    hooks.addMeetingMenuItems = [this](MenuModel& menu) {
        if (meetingControls_) meetingControls_->addMeetingMenuItems(menu);
    };
    hooks.isMeetingRunning = [this] { return meetingControls_ && meetingControls_->isMeetingRunning(); };
    hooks.meetingElapsedSeconds = [this] { return meetingControls_ ? meetingControls_->meetingElapsedSeconds() : 0.0; };
    return hooks;
}

void ParlandoApp::setupFNListener(StatusBarController& controller) {
    // The dictation's collaborators; the microphone joins when the audio step has run.
    sockets_ = std::make_unique<QtWebSocketFactory>();
    recognition_ = std::make_unique<DeepgramRecognitionFactory>(*sockets_, log_);
    keySource_ = std::make_unique<KeychainKeySource>(*keychain_);
    paste_ = std::make_unique<LinuxPaste>(*loop_, log_, *settings_);
    dictationPaste_ = std::make_unique<DeliveryPaste>(paste_->delivery());
    lamp_ = LightControl::create(*loop_, *settings_, log_, *http_);
    lamp_->probes.isMeetingRunning = [this] { return meeting_ && meeting_->isRunning(); };
    lamp_->probes.isMicAvailable = [this] { return audio_ && audio_->isAvailable(); };
    lampMenu_ = std::make_unique<LampMenu>(LampMenu::Services{
        *loop_, log_, *alerts_, lamp_,
        [weak = controller.weak()](const std::string& message) {
            if (auto c = weak.lock()) c->showError(message);
        },
        lamp_->probes.isMicAvailable});
    dictationTray_ = std::make_unique<ControllerDictationTray>(controller.weak());
    // The engine joins in the audio step: nothing here waits for the sound
    // server, and the hotkey comes up whatever that step meets.
    microphone_ = std::make_unique<AudioCaptureMicrophone>();

    dictation_ = DictationController::create(DictationServices{*loop_, log_, *microphone_, *recognition_, *keySource_,
                                                               *dictationPaste_, *lamp_, *dictationTray_, *alerts_,
                                                               [this] { return meetingControls_ && meetingControls_->isMeetingRunning(); },
                                                               [this] {
                                                                   if (meetingControls_) meetingControls_->stopMeeting();
                                                               }});

    hotkey_ = std::make_unique<LinuxHotkey>(*loop_, log_, *settings_, notifier_.get());
    std::weak_ptr<DictationController> weakDictation = dictation_;
    // Behind the lock screen or another user's session nothing is typed for us.
    LoginSession& session = hotkey_->session();
    hotkey_->session().setOnChange([weakDictation](bool inFront) {
        if (auto d = weakDictation.lock(); d && !inFront) d->stopKeepingTextOnClipboard();
    });
    paste_->delivery().setShortcutGate([&session]() -> std::optional<std::string> {
        if (session.inFront()) return std::nullopt;
        return std::string("the session is locked or not in front");
    });
    hotkey_->listener().start(
        [weakDictation] {
            if (auto d = weakDictation.lock()) d->handleFNPress();
        },
        [weakDictation] {
            if (auto d = weakDictation.lock()) d->handleFNRelease();
        });
    // Without any way to type the shortcut the text still reaches the
    // clipboard; the user hears once per run that Ctrl+V is theirs to press.
    auto tellPasteByHand = [this](const std::string& why, const std::string& where) {
        log_.append("paste: " + why + " — telling the user");
        Log& log = log_;
        notifier_->post(Notification{"Вставь текст сам: Ctrl+V",
                                     "Текст диктовки уже в буфере обмена — нажми Ctrl+V. Сама вставить его " + where +
                                         " Parlando не может.",
                                     "parlando.paste.manual", true},
                        [&log](const std::optional<std::string>& error) {
                            if (error) log.append("paste: notification post failed — " + *error);
                        });
    };
    paste_->delivery().setOnNoShortcut([tellPasteByHand](const std::string& why) {
        tellPasteByHand("no way to type the paste shortcut here (" + why + ")", "в этой системе");
    });
    const DisplaySession displaySession = currentDisplaySession();
    paste_->start([this, displaySession, tellPasteByHand] {
        // XTest reaches X windows only: native Wayland windows get the
        // clipboard and nothing else, and the user should know it up front.
        if (displaySession == DisplaySession::waylandWithXWayland &&
            paste_->routes().keysName() == LinuxPaste::xtestUnderWayland)
            tellPasteByHand("the paste shortcut reaches X windows only", "в окна Wayland");
        const HotkeyListener::Mode mode = hotkey_ ? hotkey_->listener().mode() : HotkeyListener::Mode::none;
        const bool wayland = displaySession == DisplaySession::waylandWithXWayland ||
                             displaySession == DisplaySession::waylandOnly;
        const std::string hotkey = mode == HotkeyListener::Mode::tap        ? "evdev"
                                   : mode == HotkeyListener::Mode::portal   ? "desktop portal (GlobalShortcuts)"
                                   : mode == HotkeyListener::Mode::fallback ? (wayland ? "X11 raw keys (X windows only)"
                                                                                       : "X11 raw keys")
                                                                            : "none";
        log_.append("session: " + std::string(displaySessionName(displaySession)) + " — clipboard: " +
                    paste_->routes().clipboardName() + ", paste shortcut: " + paste_->routes().keysName() +
                    ", hotkey: " + hotkey);
    });
    hotkeyMenu_ = std::make_unique<HotkeyMenu>(
        controller.weak(),
        [this](const std::string& name) {
            if (hotkey_) hotkey_->listener().setKey(name);
        },
        [this]() -> std::optional<std::string> {
            if (auto problem = hotkey_ ? hotkey_->listener().problem() : std::nullopt) return problem->menuNote;
            return std::nullopt;
        });
}

void ParlandoApp::setupTelegramClient(StatusBarController& controller) {
    const auto dataDir = XdgPaths::appDataDir();
    if (!dataDir) throw std::runtime_error("no data folder for TDLib (neither XDG_DATA_HOME nor HOME is set)");
    tdjson_ = std::make_unique<TdJsonLibrary>();
    telegram_ = TelegramClient::create(*loop_, log_, *keychain_, *tdjson_,
                                       TelegramClient::Folders{*dataDir / "tdlib", *dataDir / "tdlib-files"},
                                       linuxTelegramDevice());
    telegramMenu_ = TelegramMenu::create(*loop_, log_, *telegram_, *keychain_, *alerts_,
                                         [weak = controller.weak()](const std::string& message) {
                                             if (auto c = weak.lock()) c->showError(message);
                                         });
    telegramMenu_->setupTelegramClient();
}

void ParlandoApp::setupAudio(StatusBarController& controller) {
    // Connecting to the sound server goes on in the background; the engine
    // starts when the server's devices are known.
    audioBackend_ = std::make_unique<PulseAudioBackend>(*loop_, log_);
    audioConverters_ = std::make_unique<SoxrConverterFactory>();
    audio_ = std::make_unique<AudioCapture>(*loop_, *settings_, log_, *audioBackend_, *audioConverters_);
    if (microphone_) microphone_->attach(audio_.get());
    AudioCapture& audio = *audio_;
    MicEngineControl engine;
    engine.isMuted = [&audio] { return audio.isMuted(); };
    engine.preRollSeconds = AudioCapture::preRollSeconds;
    engine.setDeviceUID = [&audio](const std::optional<std::string>& uid) -> std::optional<std::string> {
        try {
            audio.setDeviceUID(uid);
            return std::nullopt;
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    };
    engine.builtInMicrophone = [&audio]() -> std::optional<MicMenuDevice> {
        if (auto d = audio.devices().builtInMicrophone()) return toMenuDevice(*d);
        return std::nullopt;
    };
    engine.whenAudioSystemReady = [&audio](std::function<void()> fn) { audio.whenAudioSystemReady(std::move(fn)); };
    LampControl lamp;
    if (lamp_) {
        std::weak_ptr<LightControl> weakLamp = lamp_;
        auto send = [weakLamp](LightControl::Phase phase) {
            return [weakLamp, phase] {
                if (auto l = weakLamp.lock()) l->set(phase);
            };
        };
        lamp = LampControl{send(LightControl::Phase::idle), send(LightControl::Phase::disconnected), [weakLamp] {
                               if (auto l = weakLamp.lock()) l->setIdleReflectingMic();
                           }};
    }
    audioWiring_ = std::make_unique<AudioWiring>(controller.weak(), engine, lamp);
    AudioWiring* wiring = audioWiring_.get();
    audio.onError = [wiring](const std::string& d) { wiring->onError(d); };
    audio.onAvailabilityChange = [wiring](bool a) { wiring->onAvailabilityChange(a); };
    audio.onAllMicsFailed = [wiring] { wiring->onAllMicsFailed(); };
    audio.onSelectionFailedFallback = [wiring](const std::string& failed, const std::string& builtIn) {
        wiring->onSelectionFailedFallback(failed, builtIn);
    };
    audio.onSignalChange = [wiring](bool s) { wiring->onSignalChange(s); };
    audio.onMutedChange = [wiring](bool m) { wiring->onMutedChange(m); };
    audio.onMicsRecovered = [wiring] { wiring->onMicsRecovered(); };

    MicEngineHooks menuEngine;
    menuEngine.defaultInputDevice = [&audio]() -> std::optional<MicMenuDevice> {
        if (auto d = audio.devices().defaultInputDevice()) return toMenuDevice(*d);
        return std::nullopt;
    };
    menuEngine.inputDevices = [&audio] {
        std::vector<MicMenuDevice> out;
        for (const auto& d : audio.devices().inputDevices()) out.push_back(toMenuDevice(d));
        return out;
    };
    menuEngine.setDeviceUID = engine.setDeviceUID;
    menuEngine.isAudioSystemAvailable = [&audio] { return audio.isAudioSystemAvailable(); };
    micMenu_ = std::make_unique<MicrophoneMenu>(controller.weak(), menuEngine);

    audioWiring_->setupAudio();
}

void ParlandoApp::setupMeetingHandlers(StatusBarController& controller) {
    if (!microphone_ || !recognition_ || !keySource_ || !audioConverters_) throw std::runtime_error("the dictation's services were not built");
    meetingStorage_ = std::make_unique<FileMeetingStorage>();
    systemAudio_ = std::make_unique<PulseSystemAudioCaptureFactory>(*loop_, log_, *audioConverters_);
    meeting_ = MeetingSession::create(MeetingServices{*loop_, log_, *keySource_, *microphone_, *recognition_,
                                                      *systemAudio_, *meetingStorage_});
    transcriptPanel_ = std::make_unique<TranscriptPanelController>(*settings_);
    meetingDesktop_ = std::make_unique<QtMeetingDesktop>();
    sessionControl_ = std::make_unique<SessionControl>(meeting_);
    AudioCapture* audio = audio_.get();
    meetingControls_ = MeetingControls::create(
        controller.weak(),
        MeetingControlsServices{*loop_, log_, *settings_, *alerts_, *lamp_, *transcriptPanel_, *meetingDesktop_,
                                *sessionControl_, [audio] { return audio != nullptr && audio->isMuted(); },
                                []() -> std::optional<std::filesystem::path> {
                                    if (auto docs = XdgPaths::documentsDir())
                                        return *docs / MeetingSession::recordingsFolderName;
                                    return std::nullopt;
                                }});
    meetingControls_->setupMeetingSession();
}

void ParlandoApp::setupUpdates(StatusBarController&) {
    const auto dataDir = XdgPaths::appDataDir();
    updates_ = UpdateChecker::create(UpdateServices{*loop_, *settings_, log_, *http_, *alerts_, notifier_.get(), *launcher_,
                                                    {}, updateServerURL(), PARLANDO_VERSION,
                                                    dataDir ? *dataDir / "update.log" : std::filesystem::path(),
                                                    processEnv("PATH").value_or("/usr/local/bin:/usr/bin:/bin")});
    updates_->startBackgroundChecks();
}

}  // namespace parlando
