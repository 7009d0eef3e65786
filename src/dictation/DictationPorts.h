#pragma once
// What a dictation needs from the rest of the application, in its own terms.
// The composition root adapts the microphone engine, the recognition client,
// the key store, the paste, the lamp and the tray to these; tests use fakes.
#include "app/TrayState.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

// 16-bit signed little-endian mono PCM at 16 kHz (whole 640-byte chunks live).
using AudioBytes = std::vector<std::uint8_t>;

// The always-on microphone engine.
class DictationMicrophone {
public:
    using SubscriptionId = std::uint64_t;
    // Called on the engine's audio thread for every chunk converted after subscribe().
    using ChunkHandler = std::function<void(const AudioBytes& chunk)>;

    virtual ~DictationMicrophone() = default;

    // Main thread. Starts the engine when it is not running; the engine's error
    // description when it cannot run (muted, no device, ...), nothing on success.
    virtual std::optional<std::string> ensureRunning() = 0;
    // Up to preRollSeconds() of the latest audio, whole chunks, oldest first.
    virtual AudioBytes preRollSnapshot() = 0;
    virtual double preRollSeconds() const = 0;
    virtual SubscriptionId subscribe(ChunkHandler handler) = 0;
    // Subscribes and fills preRoll with the latest audio in one step, so that
    // no chunk falls between the two. Engines that cannot do it atomically
    // keep this default.
    virtual SubscriptionId subscribeWithPreRoll(ChunkHandler handler, AudioBytes& preRoll) {
        preRoll = preRollSnapshot();
        return subscribe(std::move(handler));
    }
    // Once it returns, chunks converted later are not delivered to that handler.
    virtual void unsubscribe(SubscriptionId id) = 0;
    virtual bool isMuted() const = 0;
    virtual void setMuted(bool muted) = 0;
};

// An error reported by the recognition client.
struct RecognitionError {
    std::string description;
    // errno value when the error is a socket error of the operating system, 0 otherwise.
    int posixCode = 0;
};

// What the recognition client reports; each may arrive on any thread.
struct RecognitionCallbacks {
    std::function<void()> onOpen;
    std::function<void(const std::string& text, bool isFinal, std::optional<int> channelIndex)> onTranscript;
    std::function<void(const RecognitionError& error)> onError;
    std::function<void(int code, const std::string& reason)> onClose;
};

// One mono recognition stream (one connection, never reused).
class RecognitionClient {
public:
    virtual ~RecognitionClient() = default;
    virtual void connect() = 0;
    // Any thread; chunks reach the service in call order. Audio handed over
    // while connecting is held and sent on open.
    virtual void sendAudio(const AudioBytes& data) = 0;
    // Sends the close message; the service then flushes and closes the socket.
    virtual void finish() = 0;
    // Tears the connection down at once.
    virtual void disconnect() = 0;
    virtual std::int64_t chunksSent() const = 0;
    virtual std::int64_t bytesSent() const = 0;
};

class RecognitionClientFactory {
public:
    virtual ~RecognitionClientFactory() = default;
    // A client for the default dictation stream (one channel, default language
    // and model) whose callbacks are installed before anything can happen.
    virtual std::shared_ptr<RecognitionClient> makeClient(const std::string& apiKey,
                                                          RecognitionCallbacks callbacks) = 0;
};

// The recognition service's API key from the secret store.
struct APIKeyResult {
    std::optional<std::string> key;  // set on success
    std::string errorDescription;    // the store's description otherwise
};

class DictationKeySource {
public:
    virtual ~DictationKeySource() = default;
    virtual APIKeyResult deepgramAPIKey() = 0;
};

// Puts text into the focused application (clipboard + paste shortcut). Main thread.
class DictationPaste {
public:
    virtual ~DictationPaste() = default;
    virtual void paste(const std::string& text) = 0;
    // The clipboard only, no shortcut: for a dictation cut short by the lock screen.
    virtual void copy(const std::string& text) = 0;
};

// The status lamp, as far as a dictation reports to it.
class DictationLamp {
public:
    enum class Phase { recording, processing, idle, disconnected };
    virtual ~DictationLamp() = default;
    virtual void set(Phase phase) = 0;
    // The resting phase: recording during a meeting, else idle or disconnected by the microphone.
    virtual void setIdleReflectingMic() = 0;
};

// A lamp that is never there, for programs and tests without one.
class NoDictationLamp final : public DictationLamp {
public:
    void set(Phase) override {}
    void setIdleReflectingMic() override {}
};

// The application controller's side the dictation drives: the tray flags and helpers.
class DictationTray {
public:
    virtual ~DictationTray() = default;
    virtual TrayState& trayState() = 0;
    virtual void setSessionStalled(bool stalled) = 0;
    virtual void renderUI() = 0;
    virtual void refreshTrayBadge() = 0;
    virtual void startSpinner() = 0;
    virtual void stopSpinner() = 0;
    virtual void showError(const std::string& message) = 0;
    // Bring the application to the front before a modal alert.
    virtual void activateApp() = 0;
};

}  // namespace parlando
