#pragma once
// Records and transcribes a meeting: the user's microphone and what the
// computer plays are mixed every 20 ms into one two-channel 16 kHz stream
// (channel 0 the user, channel 1 everybody else) for one multichannel
// recognition connection; final results become time-stamped, labelled lines
// of a Markdown transcript, and each side is kept as a mono WAV backup, all
// in one folder per meeting under Documents/Parlando-Recordings.
//
// One instance for the life of the process, built by the composition root.
// Main thread, except the two audio receivers, which only append to the
// mixer's queues under its lock.
#include "audio/SystemAudioCapture.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/XdgPaths.h"
#include "dictation/DictationPorts.h"
#include "meeting/MeetingPorts.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

struct MeetingServices {
    MainLoop& loop;
    Log& log;
    DictationKeySource& keys;
    DictationMicrophone& microphone;
    MeetingRecognitionFactory& recognition;
    SystemAudioCaptureFactory& systemAudio;
    MeetingStorage& storage;
    // Where the documents folder is looked up (user-dirs.dirs, $HOME) at each start.
    EnvLookup env = processEnv;
};

class MeetingSession : public std::enable_shared_from_this<MeetingSession> {
public:
    // The session's own reasons not to start; description() is what the user sees.
    class SessionError : public std::exception {
    public:
        enum class Kind { missingAPIKey, fileCreate, systemAudio, alreadyRunning };

        static SessionError missingAPIKey(const std::string& keychainDescription);
        static SessionError fileCreate(const std::string& transcriptPath);
        static SessionError systemAudio(const std::string& detail);
        static SessionError alreadyRunning();

        Kind kind() const { return kind_; }
        const std::string& description() const { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }

    private:
        SessionError(Kind kind, std::string description) : kind_(kind), description_(std::move(description)) {}
        Kind kind_;
        std::string description_;
    };

    static constexpr int chunkFrames = 320;  // one side's 20 ms
    static constexpr int bytesPerSample = 2;
    static constexpr std::size_t monoChunkBytes = chunkFrames * bytesPerSample;  // 640
    static constexpr std::size_t queueCap = 100 * monoChunkBytes;               // 2 s per side
    static constexpr double maxReconnectDelay = 30.0;
    static constexpr double tailSeconds = 1.5;
    static constexpr const char* recordingsFolderName = "Parlando-Recordings";

    static std::shared_ptr<MeetingSession> create(MeetingServices services);
    ~MeetingSession();
    MeetingSession(const MeetingSession&) = delete;
    MeetingSession& operator=(const MeetingSession&) = delete;

    // Set once by the controller; all are called on the main thread.
    std::function<void(bool running)> onStateChange;
    // Runtime trouble the user should hear about once: system audio failing
    // while running, recordings or transcript no longer written to disk.
    std::function<void(const std::string& description)> onError;
    // Every transcript line of the current meeting as written, without its line feed.
    std::function<void(const std::string& line)> onTranscriptLine;
    std::function<void(bool up)> onSystemAudioStateChange;

    // Begins a meeting. Throws SessionError; the microphone engine's refusal
    // to run and a folder that cannot be made are thrown as std::runtime_error
    // with their own description. what() is always the text to show.
    void start();
    // Ends the meeting; the last results are awaited for 1.5 s before the
    // connection is dropped and the files are closed. Nothing when idle.
    void stop();
    // Stops the system-audio capture of the running meeting and starts a
    // fresh one; the completion gets nothing on success or the reason it
    // failed (also when no meeting runs). The microphone side goes on.
    void restartSystemAudio(std::function<void(const std::optional<std::string>& failure)> completion);
    // Application quit: stop() when running, then end every tail at once
    // (connections dropped, files finalised and closed). The caller lets the
    // main loop run for at most tailSeconds before this when it can.
    void shutdown();

    bool isRunning() const { return isRunning_; }
    // True while a stopped meeting still waits for its last results or its
    // system-audio capture has not finished stopping.
    bool tailPending() const { return !tails_.empty() || *capturesStopping_ > 0; }
    bool systemAudioPipelineUp() const { return systemAudioPipelineUp_; }
    std::optional<WallTime> startedAt() const { return startedAt_; }
    const std::optional<std::filesystem::path>& meetingFolderURL() const { return meetingFolderURL_; }
    const std::optional<std::filesystem::path>& transcriptURL() const { return transcriptURL_; }
    const std::optional<std::filesystem::path>& micAudioURL() const { return micAudioURL_; }
    const std::optional<std::filesystem::path>& systemAudioURL() const { return systemAudioURL_; }
    // Seconds since the start while running, otherwise 0.
    double elapsedSeconds() const;

    // The mixer's step, public for the benchmark: mixes every 20 ms block owed
    // up to the main loop's clock (less a 60 ms allowance for late chunks).
    void mixerTick();

private:
    struct Run;
    explicit MeetingSession(MeetingServices services);

    std::filesystem::path makeMeetingFolder(WallTime now);
    void attachMicrophone();
    void connectDeepgram();
    void startMixer();
    void startSystemAudio(std::function<void(const std::optional<std::string>&)> completion);
    void stopSystemAudio();
    void setSystemAudioPipeline(bool up);
    void handleClose(const std::shared_ptr<Run>& run, std::uint64_t connection, int code);
    void handleTranscript(const std::shared_ptr<Run>& run, const std::string& text, bool isFinal,
                          std::optional<int> channel);
    void appendLine(Run& run, const std::string& line);
    void scheduleReconnect();
    void mixUpTo(std::int64_t blocksBehind);
    void mixBlock(Run& run, std::size_t offset);
    void commitRecordings(Run& run);
    void reportDiskTrouble(Run& run, const std::string& description);
    void endTail(const std::shared_ptr<Run>& run);

    MeetingServices s_;
    bool isRunning_ = false;
    std::optional<WallTime> startedAt_;
    std::optional<std::filesystem::path> meetingFolderURL_;
    std::optional<std::filesystem::path> transcriptURL_;
    std::optional<std::filesystem::path> micAudioURL_;
    std::optional<std::filesystem::path> systemAudioURL_;
    bool systemAudioPipelineUp_ = false;
    std::optional<DictationMicrophone::SubscriptionId> subscription_;
    std::shared_ptr<SystemAudioCapture> systemCapture_;
    std::shared_ptr<int> capturesStopping_ = std::make_shared<int>(0);
    // The restart's completion until the capture's start has reported.
    std::function<void(const std::optional<std::string>&)> systemStartCompletion_;

    // The mixer's queues, shared with the audio receivers.
    struct Queues {
        std::mutex mixerLock;
        std::vector<std::uint8_t> micQueue;
        std::vector<std::uint8_t> systemQueue;
        int generation = 0;  // receivers of an earlier meeting append nothing
    };
    std::shared_ptr<Queues> queues_;
    ScopedTimer mixerTimer_;

    std::string apiKey_;
    int reconnectAttempt_ = 0;
    ScopedTimer reconnectTask_;
    bool stoppingDeliberately_ = false;
    int sessionGeneration_ = 0;
    std::uint64_t nextConnection_ = 0;

    // The current meeting's files and connection; a stopped meeting's run
    // lives on in tails_ until its last results are in.
    std::shared_ptr<Run> run_;
    std::vector<std::shared_ptr<Run>> tails_;
};

}  // namespace parlando
