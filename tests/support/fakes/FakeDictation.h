#pragma once
// Fakes of the dictation's ports. The microphone and the recognition client
// are thread-safe: tests deliver chunks and results from other threads.
#include "app/Alert.h"
#include "dictation/DictationPorts.h"
#include "meeting/MeetingPorts.h"

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace parlando::testing {

template <class F>
auto locked(std::mutex& m, F f) {
    std::lock_guard lock(m);
    return f();
}

class FakeMicrophone final : public DictationMicrophone {
public:
    std::optional<std::string> ensureRunning() override { return ensureRunningError; }
    AudioBytes preRollSnapshot() override { return locked(mutex_, [&] { return preRoll; }); }
    double preRollSeconds() const override { return 1.5; }
    SubscriptionId subscribe(ChunkHandler handler) override {
        return locked(mutex_, [&] { return handlers_[nextId_] = std::move(handler), nextId_++; });
    }
    // Like the real engine, subscribes and takes the pre-roll in one step; the
    // hook then plays the audio thread delivering before the caller goes on.
    SubscriptionId subscribeWithPreRoll(ChunkHandler handler, AudioBytes& out) override {
        out = preRollSnapshot();
        const SubscriptionId id = subscribe(std::move(handler));
        if (whileSubscribing) whileSubscribing();
        return id;
    }
    std::function<void()> whileSubscribing;
    void unsubscribe(SubscriptionId id) override { locked(mutex_, [&] { handlers_.erase(id); }); }
    bool isMuted() const override { return muted; }
    void setMuted(bool m) override { mutedWrites.push_back(muted = m); }

    // Delivers one chunk to every subscriber on the calling thread, outside the lock.
    void deliver(const AudioBytes& chunk) {
        for (auto& [id, h] : locked(mutex_, [&] { return handlers_; })) h(chunk);
    }
    std::size_t subscribers() const { return locked(mutex_, [&] { return handlers_.size(); }); }

    std::optional<std::string> ensureRunningError;
    AudioBytes preRoll;
    bool muted = false;
    std::vector<bool> mutedWrites;

private:
    mutable std::mutex mutex_;
    SubscriptionId nextId_ = 1;
    std::map<SubscriptionId, ChunkHandler> handlers_;
};

class FakeRecognitionClient final : public RecognitionClient {
public:
    explicit FakeRecognitionClient(RecognitionCallbacks cb) : callbacks(std::move(cb)) {}

    void connect() override {}
    void sendAudio(const AudioBytes& data) override {
        std::lock_guard lock(mutex_);
        if (keepSent) sent_.push_back(data);
        bytes_ += static_cast<std::int64_t>(data.size());
    }
    void finish() override { locked(mutex_, [&] { ++finishes_; }); }
    void disconnect() override { locked(mutex_, [&] { ++disconnects_; }); }
    std::int64_t chunksSent() const override { return locked(mutex_, [&] { return std::int64_t(sent_.size()); }); }
    std::int64_t bytesSent() const override { return locked(mutex_, [&] { return bytes_; }); }

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
        return locked(mutex_, [&] { return sent_; });
    }
    int finishes() const { return locked(mutex_, [&] { return finishes_; }); }
    int disconnects() const { return locked(mutex_, [&] { return disconnects_; }); }

    RecognitionCallbacks callbacks;
    bool keepSent = true;  // off for hours of audio: only the byte count is kept

private:
    mutable std::mutex mutex_;
    std::vector<AudioBytes> sent_;
    std::int64_t bytes_ = 0;
    int finishes_ = 0, disconnects_ = 0;
};

class FakeRecognitionFactory final : public RecognitionClientFactory, public MeetingRecognitionFactory {
public:
    std::shared_ptr<RecognitionClient> makeMeetingClient(const std::string& key,
                                                         RecognitionCallbacks callbacks) override {
        ++meetingClients;
        return makeClient(key, std::move(callbacks));
    }
    int meetingClients = 0;
    // Made and read on the main thread only.
    std::shared_ptr<RecognitionClient> makeClient(const std::string&, RecognitionCallbacks callbacks) override {
        return clients.emplace_back(std::make_shared<FakeRecognitionClient>(std::move(callbacks)));
    }
    // Throws, rather than hand out a null, before any client exists.
    std::shared_ptr<FakeRecognitionClient> last() const { return clients.at(clients.size() - 1); }
    std::size_t made() const { return clients.size(); }
    std::vector<std::shared_ptr<FakeRecognitionClient>> clients;
};

class FakeKeySource final : public DictationKeySource {
public:
    APIKeyResult deepgramAPIKey() override {
        if (auto f = std::exchange(whileReading, nullptr)) f();  // once: a nested event loop while asking
        return {key, key ? "" : "Keychain item not found: parlando.deepgram.api_key/deepgram"};
    }
    std::optional<std::string> key = std::string("test-key");
    std::function<void()> whileReading;
};

class FakePaste final : public DictationPaste {
public:
    void paste(const std::string& text) override { pasted.push_back(text); }
    void copy(const std::string& text) override { pasted.push_back("(clipboard only) " + text); }
    std::vector<std::string> pasted;  // in delivery order
};

class FakeLamp final : public DictationLamp {
public:
    void set(Phase p) override {
        calls.push_back(std::array{"recording", "processing", "idle", "disconnected"}[static_cast<int>(p)]);
    }
    void setIdleReflectingMic() override { calls.push_back("resting"); }
    std::vector<std::string> calls;
};

class FakeDictationTray final : public DictationTray {
public:
    TrayState& trayState() override { return state; }
    void setSessionStalled(bool s) override { stalled = s; }
    void renderUI() override {}
    void refreshTrayBadge() override { ++badgeRefreshes; }
    void startSpinner() override { spinning = true; }
    void stopSpinner() override { spinning = false; }
    void showError(const std::string& m) override { errors.push_back(m); }
    void activateApp() override {}

    TrayState state;
    bool stalled = false, spinning = false;
    int badgeRefreshes = 0;
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
