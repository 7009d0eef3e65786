#pragma once
// The sound system on PulseAudio (also PipeWire through pipewire-pulse), on a
// pa_threaded_mainloop of its own. Input devices are the sources that are not
// monitors of an output; the UID is the source name, the display name its
// description.
//
// Nothing here waits for the server on the caller's thread. The adapter keeps
// a model of the sources and the default source, loaded when it connects and
// kept current from the server's subscription events; the main thread reads
// that model under a mutex of its own. Opening a stream only asks for it: a
// stream that fails is reported later (streamEnded), and a server that leaves
// a connection or a stream unanswered for `answerTimeout` is treated as gone
// (audioSystemLost) and connected to again, as is a server that is not there.
// Capture runs at the source's native rate and channel count as 32-bit float
// with ~20 ms fragments; buffers reach the tap on PulseAudio's thread.
#include "audio/AudioBackend.h"
#include "core/Log.h"
#include "core/MainLoop.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_proplist;
struct pa_time_event;
struct pa_source_info;

namespace parlando {

class PulseAudioBackend final : public AudioBackend {
public:
    // Starts connecting and returns at once.
    PulseAudioBackend(MainLoop& loop, Log& log, Duration reconnectInterval = seconds(2.0),
                      Duration answerTimeout = seconds(3.0));
    ~PulseAudioBackend() override;
    PulseAudioBackend(const PulseAudioBackend&) = delete;
    PulseAudioBackend& operator=(const PulseAudioBackend&) = delete;

    bool isAudioSystemAvailable() override;
    std::vector<AudioDeviceInfo> devices() override;
    std::optional<AudioDeviceInfo> defaultInputDevice() override;
    void start(const AudioDeviceInfo& device, Tap tap) override;
    void stop() override;
    bool isRunning() const override;
    void setEventHandler(std::function<void(AudioSystemEvent)> handler) override;

    // How sure a source is the machine's own microphone (AudioDeviceInfo::builtInRank).
    static int builtInRank(const pa_source_info& source);

    struct Source;  // implementation detail, public for the C callbacks

private:
    struct Callbacks;
    friend struct Callbacks;

    // All *Locked members run with the mainloop lock held (or on its thread).
    void connectLocked();
    void scheduleReconnectLocked();
    void dropContextLocked();
    void serverGoneLocked(const std::string& why);
    void armAnswerTimerLocked();
    void freeAnswerTimerLocked();
    void stopLocked();
    void upsertSourceLocked(const pa_source_info& info);
    void postEvent(AudioSystemEvent event);

    MainLoop& loop_;
    Log& log_;
    Duration reconnectInterval_;
    Duration answerTimeout_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::function<void(AudioSystemEvent)> handler_;  // main thread

    pa_threaded_mainloop* mainloop_ = nullptr;
    // Guarded by the mainloop lock.
    pa_context* context_ = nullptr;
    pa_time_event* reconnectTimer_ = nullptr;
    pa_time_event* answerTimer_ = nullptr;  // a connection or a stream awaiting the server
    int initialQueries_ = 0;                // the first source list and server info still owed
    bool outageLogged_ = false;
    bool shuttingDown_ = false;
    pa_stream* stream_ = nullptr;
    std::string streamSource_;
    Tap tap_;
    std::uint32_t streamChannels_ = 0;
    double streamRate_ = 0;
    std::vector<std::uint8_t> carry_;  // bytes of a partial frame
    std::vector<float> frames_;
    std::atomic<bool> running_{false};

    // The model, written on PulseAudio's thread, read by anyone.
    mutable std::mutex modelMutex_;
    bool ready_ = false;  // connected and the model loaded
    std::vector<Source> sources_;  // in index order
    std::string defaultSource_;
};

}  // namespace parlando
