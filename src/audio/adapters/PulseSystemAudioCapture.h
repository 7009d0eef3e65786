#pragma once
// System audio on PulseAudio (and PipeWire through pipewire-pulse): a record
// stream on the monitor source of the default output, on a pa_threaded_mainloop
// and context of its own for each run, so that it neither waits for nor
// disturbs the microphone's connection. The monitor is recorded in its native
// format as 32-bit float with ~20 ms fragments and chunked by
// SystemAudioChunker on PulseAudio's thread. When the default output changes
// (or the recorded one goes away and another takes over), the stream moves to
// the new default's monitor: the new stream is opened first, the old one read
// dry and then closed, so chunks keep coming with continuous boundaries.
#include "audio/AudioConverter.h"
#include "audio/SystemAudioCapture.h"
#include "audio/SystemAudioChunker.h"
#include "core/Log.h"
#include "core/MainLoop.h"

#include <memory>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_source_info;
struct pa_time_event;

namespace parlando {

class PulseSystemAudioCapture final : public SystemAudioCapture {
public:
    PulseSystemAudioCapture(MainLoop& loop, Log& log, AudioConverterFactory& converters,
                            Duration startTimeout = seconds(5.0));
    ~PulseSystemAudioCapture() override;
    PulseSystemAudioCapture(const PulseSystemAudioCapture&) = delete;
    PulseSystemAudioCapture& operator=(const PulseSystemAudioCapture&) = delete;

    // A start while one runs or is under way begins again from scratch; the
    // earlier start's completion is then never called, nor is it after stop().
    void start(Completion completion) override;
    void stop(std::function<void()> completion = {}) override;

    struct Callbacks;  // the C callbacks, public for them only

private:
    friend struct Callbacks;
    enum class Phase { starting, running };

    void teardown();
    // PulseAudio thread, mainloop lock held.
    void queryDefaultLocked();
    // No output to record: fails a start, reports a running capture that has
    // nothing left, or keeps recording the previous output.
    void noOutputLocked(const SystemAudioError& error);
    void openStreamLocked(const pa_source_info& source);
    void promoteLocked();
    void failLocked(const SystemAudioError& error);
    void lostLocked(const std::string& description);
    void reportLocked(const std::string& description);  // onError on the main thread
    void readLocked(pa_stream* s);
    void dropStreamLocked(pa_stream*& s);
    void dropGraceTimerLocked();

    MainLoop& loop_;
    Log& log_;
    Duration startTimeout_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);

    // Main thread.
    std::uint64_t generation_ = 0;  // one per start; stale posts compare it
    Completion pending_;
    ScopedTimer startTimer_;

    pa_threaded_mainloop* mainloop_ = nullptr;
    // Guarded by the mainloop lock (PulseAudio's thread while a run lives).
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;      // the one chunks come from
    pa_stream* nextStream_ = nullptr;  // connecting to the new default's monitor
    std::string monitor_, nextMonitor_;
    std::string nextOutput_;  // the description of the output being looked up
    Phase phase_ = Phase::starting;
    bool contextReady_ = false;
    bool failed_ = false;
    pa_time_event* graceTimer_ = nullptr;
    bool graceOver_ = false;     // the output stayed missing for the grace period
    bool lossReported_ = false;  // onError told of the missing output once
    bool stopping_ = false;
    bool conversionErrorReported_ = false;
    std::uint64_t runGeneration_ = 0;
    std::function<void(const AudioChunk&)> chunkSink_;
    SystemAudioChunker chunker_;
    std::vector<std::uint8_t> carry_;  // bytes of a partial frame
    std::vector<float> frames_;
};

class PulseSystemAudioCaptureFactory final : public SystemAudioCaptureFactory {
public:
    PulseSystemAudioCaptureFactory(MainLoop& loop, Log& log, AudioConverterFactory& converters)
        : loop_(loop), log_(log), converters_(converters) {}
    std::shared_ptr<SystemAudioCapture> make() override {
        return std::make_shared<PulseSystemAudioCapture>(loop_, log_, converters_);
    }

private:
    MainLoop& loop_;
    Log& log_;
    AudioConverterFactory& converters_;
};

}  // namespace parlando
