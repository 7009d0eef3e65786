#pragma once
// The dictation's ports served by the app's real components: the recognition
// client and the key store. (Microphone, paste and tray join in the same way.)
#include "app/StatusBarController.h"
#include "audio/AudioCapture.h"
#include "core/Log.h"
#include "credentials/KeychainHelper.h"
#include "dictation/DictationPorts.h"
#include "dictation/PasteDelivery.h"
#include "meeting/MeetingPorts.h"
#include "speech/WebSocket.h"

namespace parlando {

class DeepgramRecognitionFactory final : public RecognitionClientFactory, public MeetingRecognitionFactory {
public:
    DeepgramRecognitionFactory(WebSocketFactory& sockets, Log& log) : sockets_(sockets), log_(log) {}
    std::shared_ptr<RecognitionClient> makeClient(const std::string& apiKey, RecognitionCallbacks callbacks) override;
    // Two channels, multichannel, default language and model.
    std::shared_ptr<RecognitionClient> makeMeetingClient(const std::string& apiKey,
                                                         RecognitionCallbacks callbacks) override;

private:
    WebSocketFactory& sockets_;
    Log& log_;
};

class KeychainKeySource final : public DictationKeySource {
public:
    explicit KeychainKeySource(const KeychainHelper& keychain) : keychain_(keychain) {}
    APIKeyResult deepgramAPIKey() override;

private:
    const KeychainHelper& keychain_;
};

// The microphone engine as the dictation sees it. The engine is attached by
// the audio start-up step; until then (or if that step failed) the
// dictation is told there is no input device, and nothing else breaks.
class AudioCaptureMicrophone final : public DictationMicrophone {
public:
    AudioCaptureMicrophone() = default;
    explicit AudioCaptureMicrophone(AudioCapture& capture) : capture_(&capture) {}
    void attach(AudioCapture* capture) { capture_ = capture; }
    std::optional<std::string> ensureRunning() override;
    AudioBytes preRollSnapshot() override { return capture_ ? capture_->preRollSnapshot() : AudioBytes{}; }
    double preRollSeconds() const override { return AudioCapture::preRollSeconds; }
    SubscriptionId subscribe(ChunkHandler handler) override {
        return capture_ ? capture_->subscribe(std::move(handler)) : 0;
    }
    SubscriptionId subscribeWithPreRoll(ChunkHandler handler, AudioBytes& preRoll) override {
        preRoll.clear();
        return capture_ ? capture_->subscribe(std::move(handler), &preRoll) : 0;
    }
    void unsubscribe(SubscriptionId id) override {
        if (capture_) capture_->unsubscribe(id);
    }
    bool isMuted() const override { return capture_ ? capture_->isMuted() : true; }
    void setMuted(bool muted) override {
        if (capture_) capture_->setMuted(muted);
    }

private:
    AudioCapture* capture_ = nullptr;
};

class DeliveryPaste final : public DictationPaste {
public:
    explicit DeliveryPaste(PasteDelivery& delivery) : delivery_(delivery) {}
    void paste(const std::string& text) override { delivery_.paste(text); }
    void copy(const std::string& text) override { delivery_.copy(text); }

private:
    PasteDelivery& delivery_;
};

// The application controller as the dictation sees it. Holds it weakly: the
// dictation never keeps the controller alive.
class ControllerDictationTray final : public DictationTray {
public:
    explicit ControllerDictationTray(std::weak_ptr<StatusBarController> controller)
        : controller_(std::move(controller)) {}
    TrayState& trayState() override;
    void setSessionStalled(bool stalled) override;
    void renderUI() override;
    void refreshTrayBadge() override;
    void startSpinner() override;
    void stopSpinner() override;
    void showError(const std::string& message) override;
    // Qt raises each dialog itself; nothing to bring forward first.
    void activateApp() override {}

private:
    std::weak_ptr<StatusBarController> controller_;
    TrayState detached_;  // answered once the controller is gone
};

}  // namespace parlando
