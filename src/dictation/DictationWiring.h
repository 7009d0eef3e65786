#pragma once
// The dictation's ports served by the app's real components: the recognition
// client and the key store. (Microphone, paste and tray join in the same way.)
#include "core/Log.h"
#include "credentials/KeychainHelper.h"
#include "dictation/DictationPorts.h"
#include "speech/WebSocket.h"

namespace parlando {

class DeepgramRecognitionFactory final : public RecognitionClientFactory {
public:
    DeepgramRecognitionFactory(WebSocketFactory& sockets, Log& log) : sockets_(sockets), log_(log) {}
    std::shared_ptr<RecognitionClient> makeClient(const std::string& apiKey, RecognitionCallbacks callbacks) override;

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

}  // namespace parlando
