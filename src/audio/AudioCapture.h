#pragma once
// The always-on microphone engine: one capture stream for as long as listening
// is on, converted to 16 kHz mono 16-bit, cut into 640-byte chunks, kept for
// 1.5 s in a pre-roll ring and handed to any number of subscribers. It also
// chooses the input device, falls back to the built-in microphone, probes for
// silence after every start and restarts when what it is bound to changes.
// A sound server that is away or does not answer is an outage, not a failing
// microphone: the choice is kept and the engine starts again when it is back.
//
// Threads: everything is main-thread only except process() (audio thread),
// which shares the ring, the partial chunk and the subscriber table with
// preRollSnapshot/subscribe/unsubscribe/start/stop under one lock. No callback
// runs while the lock is held.
#include "audio/AudioBackend.h"
#include "audio/AudioConverter.h"
#include "audio/AudioDevices.h"
#include "audio/CaptureError.h"
#include "audio/Pcm.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/Settings.h"

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace parlando {

class AudioCapture {
public:
    using SubscriptionId = std::uint64_t;  // never 0
    using ChunkHandler = std::function<void(const AudioChunk& chunk)>;

    static constexpr const char* mutedKey = "ParlandoMuted";
    static constexpr double signalRMSThreshold = 50.0;
    static constexpr double targetSampleRate = 16000.0;
    static constexpr std::uint32_t targetChunkFrames = 320;
    static constexpr int targetBytesPerFrame = 2;
    static constexpr double preRollSeconds = 1.5;
    static constexpr std::size_t chunkBytes = targetChunkFrames * targetBytesPerFrame;  // 640
    static constexpr std::size_t ringMaxBytes =
        static_cast<std::size_t>(preRollSeconds * targetSampleRate) * targetBytesPerFrame;  // 48 000
    static constexpr std::size_t probeMinimumBytes = 32000;  // 1 s of audio
    static constexpr double probeSilenceThreshold = 10.0;
    static constexpr double probeDelaySeconds = 1.5;
    static constexpr double selfOperationWindowSeconds = 1.5;
    // After the sound server comes, its devices may follow a little later
    // (PipeWire's session manager): a missing device is waited for this long.
    static constexpr double serverSettleSeconds = 3.0;
    static_assert(ringMaxBytes % chunkBytes == 0, "the ring holds whole chunks");

    AudioCapture(MainLoop& loop, Settings& settings, Log& log, AudioBackend& backend,
                 AudioConverterFactory& converters);
    ~AudioCapture();
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Set by the owner before the engine starts.
    std::function<void(const std::string& description)> onError;  // audio thread
    std::function<void(bool)> onAvailabilityChange;                // main thread, async
    std::function<void()> onAllMicsFailed;                         // main thread
    std::function<void()> onMicsRecovered;                         // main thread
    std::function<void(const std::string& failedUID, const std::string& builtInUID)> onSelectionFailedFallback;
    std::function<void(bool)> onSignalChange;                      // main thread, async
    std::function<void(bool)> onMutedChange;                       // main thread, async

    // Chunk receivers: called on the audio thread with every chunk converted
    // after subscribe() returned; no pre-roll.
    SubscriptionId subscribe(ChunkHandler handler);
    // Subscribes and takes the pre-roll in one step: every chunk is either in
    // *preRoll or delivered to the handler, never both and never neither.
    SubscriptionId subscribe(ChunkHandler handler, AudioChunk* preRoll);
    void unsubscribe(SubscriptionId id);
    // Up to 48 000 bytes of the most recent whole chunks, oldest first.
    AudioChunk preRollSnapshot() const;
    // Throws CaptureError::muted when muted; starts the engine when it is not
    // running (start errors propagate).
    void ensureRunning();
    void setMuted(bool muted);
    // Select a device (none or blanks: the system default) and restart on it;
    // throws only when the built-in fallback fails too.
    void setDeviceUID(const std::optional<std::string>& uid);

    bool isMuted() const { return isMuted_; }
    bool hasSignal() const { return hasSignal_; }
    bool isAvailable() const { return isAvailable_; }
    const std::optional<std::string>& currentDeviceUID() const { return currentDeviceUID_; }
    bool inTotalFailure() const { return inTotalFailure_; }
    bool selfTriggeredOpInFlight() const { return selfTriggeredOpInFlight_; }
    const AudioDevices& devices() const { return devices_; }
    bool isAudioSystemAvailable() const { return backend_.isAudioSystemAvailable(); }
    // Runs fn now when the sound server's devices are known, else once they are.
    void whenAudioSystemReady(std::function<void()> fn);

    // The tap: one buffer of native-format audio (audio thread).
    void process(const AudioBufferView& buffer);

    // Engine control used by the device logic (main thread).
    void startEngine();
    void stopEngine();
    void beginSelfOperation();
    void endSelfOperation();

    // Main-thread handlers, driven by the signal timer and the backend's events.
    void evaluateSignalHealth();
    void handleConfigurationChange();
    void handleStreamEnded();
    void handleAudioSystemLost();
    void handleAudioSystemAppeared();

private:
    void restartWithFallback();
    void resumeAfterOutage();
    bool deferWhileSettling(const std::exception& e);
    // The engine runs on the device it would pick now, in the same format.
    bool boundStillCurrent() const;
    bool serverAway() const { return !backend_.isAudioSystemAvailable(); }
    void fallbackToBuiltIn(const std::string& failedUID, const std::exception_ptr& initialError);
    void scheduleSilenceProbe(const std::optional<std::string>& originalRequest);
    void evaluateProbeResult(const std::optional<std::string>& originalRequest);
    void cancelProbe();
    void enterTotalFailure();
    void setHasSignal(bool value);
    void setAvailable(bool value);
    bool engineRunning() const { return backend_.isRunning(); }
    // Started by us and not stopped by us: also true when the stream has died
    // under us, so that stopping clears the ring and the availability.
    bool engineStarted() const { return isAvailable_ || backend_.isRunning(); }
    template <class F>
    void postIfAlive(F fn);

    MainLoop& loop_;
    Settings& settings_;
    Log& log_;
    AudioBackend& backend_;
    AudioConverterFactory& converters_;
    AudioDevices devices_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // posted work holds it weakly

    bool hasSignal_ = false;
    ScopedTimer signalTimer_;
    bool isAvailable_ = false;
    std::optional<std::string> currentDeviceUID_;
    std::unique_ptr<AudioConverter> converter_;  // replaced only while no stream runs
    std::vector<std::int16_t> converted_;        // audio-thread scratch

    mutable std::mutex lock_;
    std::array<std::uint8_t, ringMaxBytes> ring_{};  // circular, whole chunks
    std::size_t ringStart_ = 0;
    std::size_t ringSize_ = 0;
    std::vector<std::uint8_t> pendingBuffer_;
    struct Subscriber {
        SubscriptionId id;
        std::shared_ptr<ChunkHandler> handler;
    };
    // Copy-on-write so that the audio thread snapshots it with one pointer copy.
    std::shared_ptr<const std::vector<Subscriber>> subscribers_ = std::make_shared<std::vector<Subscriber>>();
    SubscriptionId nextSubscriptionId_ = 1;

    bool isMuted_ = true;
    bool selfTriggeredOpInFlight_ = false;
    TimerId probeTask_ = 0;
    bool inTotalFailure_ = false;

    std::optional<AudioDeviceInfo> bound_;  // what the running stream captures from
    bool wantRunning_ = false;               // asked to run (and not muted) since start-up
    MonoTime settleUntil_{};
    ScopedTimer settleRetry_;
    std::vector<std::function<void()>> readyWaiters_;
};

}  // namespace parlando
