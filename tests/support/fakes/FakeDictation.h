#pragma once
// Fakes of the dictation's ports. The microphone and the recognition client
// are thread-safe: tests deliver chunks and results from other threads.
#include "app/Alert.h"
#include "dictation/DictationPorts.h"
#include "meeting/MeetingPorts.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace parlando::testing {

class FakeMicrophone final : public DictationMicrophone {
public:
    std::optional<std::string> ensureRunning() override {
        std::lock_guard lock(mutex_);
        ++ensureRunningCalls;
        return ensureRunningError;
    }
    AudioBytes preRollSnapshot() override {
        std::lock_guard lock(mutex_);
        return preRoll;
    }
    double preRollSeconds() const override { return 1.5; }
    SubscriptionId subscribe(ChunkHandler handler) override {
        std::lock_guard lock(mutex_);
        const SubscriptionId id = nextId_++;
        handlers_[id] = std::move(handler);
        return id;
    }
    // Like the real engine, subscribes and takes the pre-roll in one step; the
    // hook then plays the audio thread delivering before the caller goes on.
    SubscriptionId subscribeWithPreRoll(ChunkHandler handler, AudioBytes& out) override {
        SubscriptionId id = 0;
        {
            std::lock_guard lock(mutex_);
                out = preRoll;
        }
        id = subscribe(std::move(handler));
        if (whileSubscribing) whileSubscribing();
        return id;
    }
    std::function<void()> whileSubscribing;
    void unsubscribe(SubscriptionId id) override {
        std::lock_guard lock(mutex_);
        handlers_.erase(id);
    }
    bool isMuted() const override { return muted; }
    void setMuted(bool m) override {
        muted = m;
        mutedWrites.push_back(m);
    }

    // Delivers one chunk to every subscriber on the calling thread, outside the lock.
    void deliver(const AudioBytes& chunk) {
        std::vector<ChunkHandler> handlers;
        {
            std::lock_guard lock(mutex_);
            for (auto& [id, h] : handlers_) handlers.push_back(h);
        }
        for (auto& h : handlers) h(chunk);
    }
    std::size_t subscribers() const {
        std::lock_guard lock(mutex_);
        return handlers_.size();
    }
    void setPreRoll(AudioBytes bytes) {
        std::lock_guard lock(mutex_);
        preRoll = std::move(bytes);
    }

    std::optional<std::string> ensureRunningError;
    AudioBytes preRoll;
    bool muted = false;
    std::vector<bool> mutedWrites;
    int ensureRunningCalls = 0;

private:
    mutable std::mutex mutex_;
    SubscriptionId nextId_ = 1;
    std::map<SubscriptionId, ChunkHandler> handlers_;
};

class FakeRecognitionClient final : public RecognitionClient {
public:
    FakeRecognitionClient(std::string key, RecognitionCallbacks cb) : apiKey(std::move(key)), callbacks(std::move(cb)) {}

    void connect() override {
        std::lock_guard lock(mutex_);
        ++connects_;
    }
    void sendAudio(const AudioBytes& data) override {
        std::lock_guard lock(mutex_);
        if (finishes_ > 0 || disconnects_ > 0) {
            ++afterEnd_;
            return;
        }
        if (keepSent) sent_.push_back(data);
        bytes_ += static_cast<std::int64_t>(data.size());
    }
    void finish() override {
        std::lock_guard lock(mutex_);
        ++finishes_;
    }
    void disconnect() override {
        std::lock_guard lock(mutex_);
        ++disconnects_;
    }
    std::int64_t chunksSent() const override {
        std::lock_guard lock(mutex_);
        return static_cast<std::int64_t>(sent_.size());
    }
    std::int64_t bytesSent() const override {
        std::lock_guard lock(mutex_);
        return bytes_;
    }

    // The service's side, called from whatever thread the test likes.
    void open() { callbacks.onOpen(); }
    void transcript(const std::string& text, bool isFinal, std::optional<int> channel = std::nullopt) {
        callbacks.onTranscript(text, isFinal, channel);
    }
    void fail(std::string description, int posixCode = 0) {
        callbacks.onError(RecognitionError{std::move(description), posixCode});
    }
    void close(int code = 1000) { callbacks.onClose(code, ""); }

    std::vector<AudioBytes> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    int connects() const { std::lock_guard lock(mutex_); return connects_; }
    int finishes() const { std::lock_guard lock(mutex_); return finishes_; }
    int disconnects() const { std::lock_guard lock(mutex_); return disconnects_; }
    int sentAfterEnd() const { std::lock_guard lock(mutex_); return afterEnd_; }

    const std::string apiKey;
    RecognitionCallbacks callbacks;
    bool keepSent = true;  // off for hours of audio: only the byte count is kept

private:
    mutable std::mutex mutex_;
    std::vector<AudioBytes> sent_;
    std::int64_t bytes_ = 0;
    int connects_ = 0, finishes_ = 0, disconnects_ = 0, afterEnd_ = 0;
};

class FakeRecognitionFactory final : public RecognitionClientFactory, public MeetingRecognitionFactory {
public:
    std::shared_ptr<RecognitionClient> makeMeetingClient(const std::string& apiKey,
                                                         RecognitionCallbacks callbacks) override {
        ++meetingClients;
        return makeClient(apiKey, std::move(callbacks));
    }
    int meetingClients = 0;
    std::shared_ptr<RecognitionClient> makeClient(const std::string& apiKey, RecognitionCallbacks callbacks) override {
        auto client = std::make_shared<FakeRecognitionClient>(apiKey, std::move(callbacks));
        std::lock_guard lock(mutex_);
        clients_.push_back(client);
        return client;
    }
    std::shared_ptr<FakeRecognitionClient> last() const {
        std::lock_guard lock(mutex_);
        return clients_.empty() ? nullptr : clients_.back();
    }
    std::size_t made() const {
        std::lock_guard lock(mutex_);
        return clients_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeRecognitionClient>> clients_;
};

class FakeKeySource final : public DictationKeySource {
public:
    APIKeyResult deepgramAPIKey() override {
        ++reads;
        if (key) return {key, {}};
        return {std::nullopt, error};
    }
    std::optional<std::string> key = std::string("test-key");
    std::string error = "Keychain item not found: parlando.deepgram.api_key/deepgram";
    int reads = 0;
};

class FakePaste final : public DictationPaste {
public:
    void paste(const std::string& text) override { pasted.push_back(text); }
    void copy(const std::string& text) override { copied.push_back(text); }
    std::vector<std::string> pasted, copied;
};

class FakeLamp final : public DictationLamp {
public:
    void set(Phase phase) override { calls.push_back(name(phase)); }
    void setIdleReflectingMic() override { calls.push_back("resting"); }
    static std::string name(Phase p) {
        switch (p) {
        case Phase::recording: return "recording";
        case Phase::processing: return "processing";
        case Phase::idle: return "idle";
        case Phase::disconnected: return "disconnected";
        }
        return "?";
    }
    std::vector<std::string> calls;
};

class FakeDictationTray final : public DictationTray {
public:
    TrayState& trayState() override { return state; }
    void setSessionStalled(bool s) override { stalled = s; }
    void renderUI() override { ++renders; }
    void refreshTrayBadge() override { ++badgeRefreshes; }
    void startSpinner() override { spinning = true; }
    void stopSpinner() override { spinning = false; }
    void showError(const std::string& m) override { errors.push_back(m); }
    void activateApp() override {}

    TrayState state;
    bool stalled = false;
    bool spinning = false;
    int renders = 0, badgeRefreshes = 0;
    std::vector<std::string> errors;
};

class FakeAlertPresenter final : public AlertPresenter {
public:
    AlertResult runModal(const AlertSpec& spec) override {
        shown.push_back(spec);
        return AlertResult{answer, fieldTexts};
    }
    int answer = 0;
    std::vector<std::string> fieldTexts;  // what the user typed
    std::vector<AlertSpec> shown;
};

}  // namespace parlando::testing
