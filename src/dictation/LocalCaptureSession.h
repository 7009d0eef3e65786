#pragma once
// One hotkey dictation from the first press to the paste: API key, microphone
// check, one recognition stream fed with the pre-roll and then live audio
// straight from the audio thread, a stall watchdog, post-roll, bounded wait for
// the last results, the final text, the paste. Main thread, except the audio
// handler, which touches only the recognition client.
#include "core/Log.h"
#include "core/MainLoop.h"
#include "dictation/DictationPorts.h"

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace parlando {

// The session's own reasons not to start.
class SessionError : public std::exception {
public:
    enum class Kind { missingAPIKey, silentMic, alreadyRunning };

    static SessionError missingAPIKey(const std::string& storeDescription);
    static SessionError silentMic(double rms);
    static SessionError alreadyRunning();

    Kind kind() const { return kind_; }
    double rms() const { return rms_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    SessionError(Kind kind, std::string description, double rms = 0)
        : kind_(kind), rms_(rms), description_(std::move(description)) {}
    Kind kind_;
    double rms_;
    std::string description_;
};

// The microphone engine's refusal to run, passed on unchanged (its own description).
class MicrophoneError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SessionServices {
    MainLoop& loop;
    Log& log;
    DictationMicrophone& microphone;
    RecognitionClientFactory& recognition;
    DictationKeySource& keys;
    DictationPaste& paste;
    DictationLamp& lamp;
};

// True for the socket's "not connected" error, which follows a stop harmlessly.
bool isNotConnectedError(const RecognitionError& error);

class LocalCaptureSession : public std::enable_shared_from_this<LocalCaptureSession> {
public:
    static constexpr double stallGracePeriod = 4.0;
    static constexpr double stallTimeout = 4.0;
    static constexpr double postRollSeconds = 0.8;
    static constexpr double deepgramFlushDeadline = 5.0;
    // Longest wait for a socket still connecting when the post-roll ends.
    static constexpr double deepgramOpenDeadline = 5.0;
    static constexpr double silentMicRMS = 10.0;

    // Sessions keep themselves alive through their drain, so they live in a shared_ptr.
    static std::shared_ptr<LocalCaptureSession> create(SessionServices services);
    ~LocalCaptureSession();

    LocalCaptureSession(const LocalCaptureSession&) = delete;
    LocalCaptureSession& operator=(const LocalCaptureSession&) = delete;

    // Set before start(); all are called on the main thread.
    std::function<void(const std::string& text, bool isFinal)> onTranscript;
    std::function<void(const std::string& finalText)> onFinish;
    std::function<void(const RecognitionError& error)> onError;
    std::function<void(bool stalled)> onStallChange;
    // False: the text goes to the clipboard only, with no paste shortcut.
    bool pasteShortcut = true;

    // Throws SessionError or MicrophoneError; a throw leaves nothing connected.
    void start();
    // Returns at once; post-roll, drain and paste follow on the main loop.
    void stop();
    // The application is going away: stop streaming now, paste nothing, and
    // leave no timer or posted work that would reach the microphone later.
    void abandon();

    bool running() const { return running_; }
    bool isStalled() const { return isStalled_; }
    bool deepgramOpened() const { return deepgramOpened_; }
    bool deepgramClosed() const { return deepgramClosed_; }
    int transcriptsReceived() const { return transcriptsReceived_; }
    const std::vector<std::string>& finalSegments() const { return finalSegments_; }
    const std::string& lastInterim() const { return lastInterim_; }
    bool finished() const { return finished_; }

private:
    explicit LocalCaptureSession(SessionServices services);

    AudioBytes validateAudio();
    void attachAudio();
    void healthCheck();
    void handleOpen();
    void handleClose(int code);
    void handleTranscript(const std::string& text, bool isFinal);
    void handleError(const RecognitionError& error);
    void drain();
    void afterPostRoll();
    void startFlushWait();
    void flushWaitEnded();
    void openWaitEnded();
    void finishDrain();

    SessionServices s_;
    std::shared_ptr<RecognitionClient> deepgram_;
    std::optional<DictationMicrophone::SubscriptionId> audioSubscription_;
    std::vector<std::string> finalSegments_;
    std::string lastInterim_;
    bool used_ = false;  // a session carries one dictation only
    bool running_ = false;
    bool deepgramClosed_ = false;
    bool deepgramOpened_ = false;
    int transcriptsReceived_ = 0;
    std::optional<MonoTime> sessionStartedAt_;
    std::optional<MonoTime> lastTranscriptAt_;
    ScopedTimer watchdog_;
    bool isStalled_ = false;
    ScopedTimer postRoll_;
    ScopedTimer flushDeadline_;
    bool flushWaiting_ = false;
    bool openWaiting_ = false;
    bool finished_ = false;
};

}  // namespace parlando
