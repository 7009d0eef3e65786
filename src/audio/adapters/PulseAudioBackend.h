#pragma once
// The sound system on PulseAudio (also PipeWire through pipewire-pulse), on a
// pa_threaded_mainloop of its own. Input devices are the sources that are not
// monitors of an output; the UID is the source name, the display name its
// description. Capture runs at the source's native rate and channel count as
// 32-bit float with ~20 ms fragments; buffers reach the tap on PulseAudio's
// thread. Configuration events (an input source added or removed, the default
// source changed, the capture stream lost, the server gone or back) are
// posted to the main loop. Without a server the device list is empty and the
// adapter tries to connect again every few seconds.
#include "audio/AudioBackend.h"
#include "core/Log.h"
#include "core/MainLoop.h"

#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_proplist;
struct pa_time_event;

namespace parlando {

class PulseAudioBackend final : public AudioBackend {
public:
    // Connects at once (waiting up to a few seconds for the server).
    PulseAudioBackend(MainLoop& loop, Log& log, Duration reconnectInterval = seconds(2.0));
    ~PulseAudioBackend() override;
    PulseAudioBackend(const PulseAudioBackend&) = delete;
    PulseAudioBackend& operator=(const PulseAudioBackend&) = delete;

    bool isAudioSystemAvailable() override;
    std::vector<AudioDeviceInfo> devices() override;
    std::optional<AudioDeviceInfo> defaultInputDevice() override;
    void setInputDevice(std::optional<std::uint32_t> id) override;
    AudioStreamFormat inputFormat() override;
    void start(Tap tap) override;
    void stop() override;
    bool isRunning() const override;
    void setEventHandler(std::function<void(AudioSystemEvent)> handler) override;

    // The built-in rule, on a source's properties and its active port name.
    static bool isBuiltInSource(const pa_proplist* properties, const char* activePortName);

    struct SourceRecord;  // implementation detail, public for the C callbacks

private:
    struct Callbacks;
    friend struct Callbacks;

    void connectLocked();
    void scheduleReconnectLocked();
    void dropContextLocked();
    void postEvent(AudioSystemEvent event);
    void stopLocked();
    bool readyLocked() const;
    // Sync queries: main thread only, with the mainloop lock held.
    std::vector<SourceRecord> listSourcesLocked();
    std::optional<SourceRecord> sourceByNameLocked(const std::string& name);
    std::optional<SourceRecord> sourceByIndexLocked(std::uint32_t index);
    std::optional<std::string> defaultSourceNameLocked();
    template <class MakeOp>
    bool waitOperationLocked(MakeOp makeOp);

    MainLoop& loop_;
    Log& log_;
    Duration reconnectInterval_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::function<void(AudioSystemEvent)> handler_;  // main thread

    pa_threaded_mainloop* mainloop_ = nullptr;
    // Everything below is guarded by the mainloop lock.
    pa_context* context_ = nullptr;
    pa_time_event* reconnectTimer_ = nullptr;
    bool wasReady_ = false;        // the current context reached READY
    bool everConnected_ = false;
    bool outageLogged_ = false;
    bool shuttingDown_ = false;
    std::optional<std::string> boundSource_;
    std::string defaultSource_;
    std::set<std::uint32_t> knownInputs_;
    pa_stream* stream_ = nullptr;
    bool stopping_ = false;
    Tap tap_;
    std::uint32_t streamChannels_ = 0;
    double streamRate_ = 0;
    std::vector<std::uint8_t> carry_;  // bytes of a partial frame
    std::vector<float> frames_;
    std::atomic<bool> running_{false};
    std::atomic<bool> connected_{false};
};

}  // namespace parlando
