#include "dictation/DictationWiring.h"

#include "audio/CaptureError.h"

#include "speech/DeepgramClient.h"

namespace parlando {

namespace {

class DeepgramRecognitionClient final : public RecognitionClient {
public:
    explicit DeepgramRecognitionClient(std::shared_ptr<DeepgramClient> client) : client_(std::move(client)) {}
    void connect() override { client_->connect(); }
    void sendAudio(const AudioBytes& data) override { client_->sendAudio(data); }
    void finish() override { client_->finish(); }
    void disconnect() override { client_->disconnect(); }
    std::int64_t chunksSent() const override { return client_->chunksSent(); }
    std::int64_t bytesSent() const override { return client_->bytesSent(); }

private:
    std::shared_ptr<DeepgramClient> client_;
};

}  // namespace

namespace {

std::shared_ptr<RecognitionClient> wrap(std::shared_ptr<DeepgramClient> client, RecognitionCallbacks callbacks) {
    client->onOpen = std::move(callbacks.onOpen);
    if (callbacks.onTranscript) {
        client->onTranscript = [cb = std::move(callbacks.onTranscript)](const Transcript& t) {
            cb(t.text, t.isFinal, t.channelIndex);
        };
    }
    if (callbacks.onError) {
        client->onError = [cb = std::move(callbacks.onError)](const std::string& description) {
            cb(RecognitionError{description, 0});
        };
    }
    client->onClose = std::move(callbacks.onClose);
    return std::make_shared<DeepgramRecognitionClient>(std::move(client));
}

}  // namespace

std::shared_ptr<RecognitionClient> DeepgramRecognitionFactory::makeClient(const std::string& apiKey,
                                                                          RecognitionCallbacks callbacks) {
    return wrap(DeepgramClient::create(sockets_, log_, apiKey), std::move(callbacks));
}

std::shared_ptr<RecognitionClient> DeepgramRecognitionFactory::makeMeetingClient(const std::string& apiKey,
                                                                                 RecognitionCallbacks callbacks) {
    return wrap(DeepgramClient::create(sockets_, log_, apiKey, "multi", "nova-3", 2, true), std::move(callbacks));
}

APIKeyResult KeychainKeySource::deepgramAPIKey() {
    try {
        return APIKeyResult{keychain_.deepgramAPIKey(), {}};
    } catch (const KeychainHelper::Error& e) {
        return APIKeyResult{std::nullopt, e.description()};
    }
}

std::optional<std::string> AudioCaptureMicrophone::ensureRunning() {
    if (capture_ == nullptr) return CaptureError::noInputDevice().errorDescription();
    try {
        capture_->ensureRunning();
        return std::nullopt;
    } catch (const std::exception& e) {
        return std::string(e.what());
    }
}

TrayState& ControllerDictationTray::trayState() {
    if (auto c = controller_.lock()) return c->trayState;
    return detached_;
}

void ControllerDictationTray::setSessionStalled(bool stalled) {
    if (auto c = controller_.lock()) c->sessionStalled = stalled;
}

void ControllerDictationTray::renderUI() {
    if (auto c = controller_.lock()) c->renderUI();
}

void ControllerDictationTray::refreshTrayBadge() {
    if (auto c = controller_.lock()) c->refreshTrayBadge();
}

void ControllerDictationTray::startSpinner() {
    if (auto c = controller_.lock()) c->startSpinner();
}

void ControllerDictationTray::stopSpinner() {
    if (auto c = controller_.lock()) c->stopSpinner();
}

void ControllerDictationTray::showError(const std::string& message) {
    if (auto c = controller_.lock()) c->showError(message);
}

}  // namespace parlando
