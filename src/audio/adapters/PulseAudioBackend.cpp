#include "audio/adapters/PulseAudioBackend.h"

#include "audio/adapters/PulseRecordStream.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace parlando {

namespace {

constexpr std::uint32_t kInvalidIndex = static_cast<std::uint32_t>(-1);

std::string lowerText(const char* s) {
    std::string out = s != nullptr ? s : "";
    for (auto& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

pa_usec_t micros(Duration d) {
    return static_cast<pa_usec_t>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
}

pa_time_event* armTimer(pa_threaded_mainloop* mainloop, Duration delay, pa_time_event_cb_t cb, void* userdata) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop);
    timeval tv;
    pa_timeval_add(pa_gettimeofday(&tv), micros(delay));
    return api->time_new(api, &tv, cb, userdata);
}

void freeTimer(pa_threaded_mainloop* mainloop, pa_time_event*& timer) {
    if (timer == nullptr) return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop);
    api->time_free(timer);
    timer = nullptr;
}

void unrefOperation(pa_operation* op) {
    if (op != nullptr) pa_operation_unref(op);
}

}  // namespace

struct PulseAudioBackend::Source {
    AudioDeviceInfo info;
    pa_channel_map channelMap{};
};

int PulseAudioBackend::builtInRank(const pa_source_info& source) {
    if (source.monitor_of_sink != kInvalidIndex) return 0;
    if (source.n_ports > 0) {
        // The active port decides: a card on the PCI bus carries an empty mic
        // jack as readily as the laptop's own microphone.
        const pa_source_port_info* port = source.active_port;
        if (port == nullptr) return 0;
        const std::string name = lowerText(port->name);
        const bool micType = port->type == PA_DEVICE_PORT_TYPE_MIC || port->type == PA_DEVICE_PORT_TYPE_UNKNOWN;
        return micType && name.find("internal") != std::string::npos && name.find("mic") != std::string::npos ? 2 : 0;
    }
    // No port information: the form factor is all there is (PulseAudio's
    // name, and PipeWire's where pipewire-pulse passes it through).
    std::string formFactor = lowerText(pa_proplist_gets(source.proplist, PA_PROP_DEVICE_FORM_FACTOR));
    if (formFactor.empty()) formFactor = lowerText(pa_proplist_gets(source.proplist, "device.form-factor"));
    const std::string bus = lowerText(pa_proplist_gets(source.proplist, PA_PROP_DEVICE_BUS));
    const bool external = bus == "usb" || bus == "bluetooth" || bus == "firewire";
    return formFactor == "internal" && !external ? 1 : 0;
}

// ------------------------------------------------------------ C callbacks

struct PulseAudioBackend::Callbacks {
    static PulseAudioBackend* self(void* userdata) { return static_cast<PulseAudioBackend*>(userdata); }

    static void contextState(pa_context* c, void* userdata) {
        auto* s = self(userdata);
        if (c != s->context_) return;
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY: {
            pa_context_set_subscribe_callback(c, &Callbacks::subscription, s);
            unrefOperation(pa_context_subscribe(
                c, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
                &Callbacks::success, s));
            {
                std::lock_guard guard(s->modelMutex_);
                s->sources_.clear();
            }
            s->initialQueries_ = 2;
            unrefOperation(pa_context_get_source_info_list(c, &Callbacks::initialSource, s));
            unrefOperation(pa_context_get_server_info(c, &Callbacks::initialServer, s));
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            s->serverGoneLocked(pa_strerror(pa_context_errno(c)));
            break;
        default:
            break;
        }
    }

    static void success(pa_context*, int, void*) {}

    // The model is ready once the first source list and server info are in.
    static void initialDone(PulseAudioBackend* s) {
        if (--s->initialQueries_ != 0) return;
        s->freeAnswerTimerLocked();
        {
            std::lock_guard guard(s->modelMutex_);
            s->ready_ = true;
        }
        s->outageLogged_ = false;
        const char* server = pa_context_get_server(s->context_);
        s->log_.append(std::string("audio: sound server connected (") + (server ? server : "?") + ")");
        s->postEvent(AudioSystemEvent::audioSystemAppeared);
    }

    static void initialSource(pa_context*, const pa_source_info* i, int eol, void* userdata) {
        auto* s = self(userdata);
        if (eol == 0 && i != nullptr) s->upsertSourceLocked(*i);
        if (eol != 0) initialDone(s);
    }

    static void initialServer(pa_context*, const pa_server_info* i, void* userdata) {
        auto* s = self(userdata);
        if (i != nullptr) {
            std::lock_guard guard(s->modelMutex_);
            s->defaultSource_ = i->default_source_name ? i->default_source_name : "";
        }
        initialDone(s);
    }

    static void changedSource(pa_context*, const pa_source_info* i, int eol, void* userdata) {
        if (eol == 0 && i != nullptr) self(userdata)->upsertSourceLocked(*i);
    }

    static void changedServer(pa_context*, const pa_server_info* i, void* userdata) {
        auto* s = self(userdata);
        if (i == nullptr) return;
        const std::string now = i->default_source_name ? i->default_source_name : "";
        {
            std::lock_guard guard(s->modelMutex_);
            if (now == s->defaultSource_) return;
            s->defaultSource_ = now;
        }
        s->log_.append("audio: default input changed — " + now);
        s->postEvent(AudioSystemEvent::configurationChanged);
    }

    static void subscription(pa_context* c, pa_subscription_event_type_t t, std::uint32_t index, void* userdata) {
        auto* s = self(userdata);
        const unsigned facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const unsigned type = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
            if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
                bool wasInput = false;
                std::string name;
                {
                    std::lock_guard guard(s->modelMutex_);
                    auto it = std::find_if(s->sources_.begin(), s->sources_.end(),
                                           [index](const Source& x) { return x.info.id == index; });
                    if (it == s->sources_.end()) return;
                    wasInput = !it->info.isMonitor;
                    name = it->info.uid;
                    s->sources_.erase(it);
                }
                if (wasInput) {
                    s->log_.append("audio: input device removed — " + name);
                    s->postEvent(AudioSystemEvent::configurationChanged);
                }
            } else {
                unrefOperation(pa_context_get_source_info_by_index(c, index, &Callbacks::changedSource, s));
            }
        } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER && type == PA_SUBSCRIPTION_EVENT_CHANGE) {
            unrefOperation(pa_context_get_server_info(c, &Callbacks::changedServer, s));
        }
    }

    static void reconnect(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* userdata) {
        auto* s = self(userdata);
        api->time_free(e);
        if (s->reconnectTimer_ == e) s->reconnectTimer_ = nullptr;
        if (s->shuttingDown_) return;
        s->dropContextLocked();
        s->connectLocked();
    }

    // A connection that never became ready, or a stream that never started:
    // the server is there but does not answer.
    static void unanswered(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* userdata) {
        auto* s = self(userdata);
        api->time_free(e);
        if (s->answerTimer_ == e) s->answerTimer_ = nullptr;
        if (s->shuttingDown_) return;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", toSeconds(s->answerTimeout_));
        s->serverGoneLocked(std::string("not answering for ") + seconds + " s");
    }

    static void streamState(pa_stream* st, void* userdata) {
        auto* s = self(userdata);
        if (st != s->stream_) return;
        const pa_stream_state_t state = pa_stream_get_state(st);
        if (state == PA_STREAM_READY) {
            s->freeAnswerTimerLocked();
        } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            s->freeAnswerTimerLocked();
            if (pa_context_get_state(s->context_) != PA_CONTEXT_READY) {
                s->serverGoneLocked(pa_strerror(pa_context_errno(s->context_)));
                return;
            }
            s->log_.append("audio: capture stream from " + s->streamSource_ + " ended (" +
                           pa_strerror(pa_context_errno(s->context_)) + ")");
            s->stopLocked();
            s->postEvent(AudioSystemEvent::streamEnded);
        }
    }

    static void streamRead(pa_stream* st, std::size_t, void* userdata) {
        auto* s = self(userdata);
        if (st != s->stream_) return;
        const std::size_t frameBytes = sizeof(float) * s->streamChannels_;
        while (pa_stream_readable_size(st) > 0) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(st, &data, &bytes) < 0 || bytes == 0) break;
            if (data != nullptr && s->tap_ && frameBytes > 0) {
                // Copy out: the tap wants aligned, whole frames.
                auto& carry = s->carry_;
                const auto* p = static_cast<const std::uint8_t*>(data);
                carry.insert(carry.end(), p, p + bytes);
                const std::size_t frames = carry.size() / frameBytes;
                if (frames > 0) {
                    s->frames_.resize(frames * s->streamChannels_);
                    std::memcpy(s->frames_.data(), carry.data(), frames * frameBytes);
                    carry.erase(carry.begin(), carry.begin() + static_cast<long>(frames * frameBytes));
                    s->tap_(AudioBufferView{s->frames_.data(), frames, s->streamChannels_, s->streamRate_});
                }
            }
            // A hole (no data) is dropped.
            pa_stream_drop(st);
        }
    }
};

// ------------------------------------------------------------ lifecycle

PulseAudioBackend::PulseAudioBackend(MainLoop& loop, Log& log, Duration reconnectInterval, Duration answerTimeout)
    : loop_(loop), log_(log), reconnectInterval_(reconnectInterval), answerTimeout_(answerTimeout) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr) throw std::runtime_error("pa_threaded_mainloop_new failed");
    pa_threaded_mainloop_set_name(mainloop_, "parlando-pulse");
    if (pa_threaded_mainloop_start(mainloop_) < 0) {
        pa_threaded_mainloop_free(mainloop_);
        throw std::runtime_error("pa_threaded_mainloop_start failed");
    }
    pa_threaded_mainloop_lock(mainloop_);
    connectLocked();
    pa_threaded_mainloop_unlock(mainloop_);
}

PulseAudioBackend::~PulseAudioBackend() {
    pa_threaded_mainloop_lock(mainloop_);
    shuttingDown_ = true;
    stopLocked();
    freeTimer(mainloop_, reconnectTimer_);
    freeAnswerTimerLocked();
    dropContextLocked();
    pa_threaded_mainloop_unlock(mainloop_);
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
}

void PulseAudioBackend::connectLocked() {
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Parlando");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "parlando");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), "Parlando", props);
    pa_proplist_free(props);
    if (context_ == nullptr) {
        scheduleReconnectLocked();
        return;
    }
    pa_context_set_state_callback(context_, &Callbacks::contextState, this);
    armAnswerTimerLocked();
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 && context_ != nullptr) {
        const std::string why = pa_strerror(pa_context_errno(context_));
        serverGoneLocked(why);
    }
}

void PulseAudioBackend::dropContextLocked() {
    if (context_ == nullptr) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

void PulseAudioBackend::serverGoneLocked(const std::string& why) {
    freeAnswerTimerLocked();
    const bool wasRunning = stream_ != nullptr;
    stopLocked();
    bool wasReady = false;
    {
        std::lock_guard guard(modelMutex_);
        wasReady = ready_;
        ready_ = false;
        sources_.clear();
        defaultSource_.clear();
    }
    if (wasReady) {
        log_.append("audio: sound server connection lost (" + why + ") — no input device until it is back" +
                    (wasRunning ? "; capture stopped" : ""));
        outageLogged_ = true;
        if (!shuttingDown_) postEvent(AudioSystemEvent::audioSystemLost);
    } else if (!outageLogged_) {
        log_.append("audio: sound server not running (" + why + ") — no input device; retrying every " +
                    std::to_string(static_cast<int>(toSeconds(reconnectInterval_))) + " s");
        outageLogged_ = true;
    }
    // Whatever it still owes us is void: a fresh connection starts from scratch.
    dropContextLocked();
    scheduleReconnectLocked();
}

void PulseAudioBackend::scheduleReconnectLocked() {
    if (reconnectTimer_ != nullptr || shuttingDown_) return;
    reconnectTimer_ = armTimer(mainloop_, reconnectInterval_, &Callbacks::reconnect, this);
}

void PulseAudioBackend::armAnswerTimerLocked() {
    freeAnswerTimerLocked();
    answerTimer_ = armTimer(mainloop_, answerTimeout_, &Callbacks::unanswered, this);
}

void PulseAudioBackend::freeAnswerTimerLocked() { freeTimer(mainloop_, answerTimer_); }

void PulseAudioBackend::upsertSourceLocked(const pa_source_info& i) {
    Source next;
    next.info.id = i.index;
    next.info.uid = i.name != nullptr ? i.name : "";
    if (i.description != nullptr && *i.description != '\0') next.info.name = i.description;
    next.info.inputChannels = i.sample_spec.channels;
    next.info.nominalSampleRate = i.sample_spec.rate;
    next.info.isMonitor = i.monitor_of_sink != kInvalidIndex;
    next.info.builtInRank = builtInRank(i);
    next.channelMap = i.channel_map;
    bool changed = false;
    {
        std::lock_guard guard(modelMutex_);
        auto it = std::lower_bound(sources_.begin(), sources_.end(), i.index,
                                   [](const Source& x, std::uint32_t index) { return x.info.id < index; });
        if (it != sources_.end() && it->info.id == i.index) {
            // Volume, mute and suspend changes are no business of ours.
            changed = !(it->info == next.info);
            *it = next;
        } else {
            sources_.insert(it, next);
            changed = true;
        }
        changed = changed && ready_ && !next.info.isMonitor;
    }
    if (changed) {
        log_.append("audio: input device added or changed — " + next.info.uid);
        postEvent(AudioSystemEvent::configurationChanged);
    }
}

void PulseAudioBackend::postEvent(AudioSystemEvent event) {
    std::weak_ptr<int> alive = alive_;
    loop_.post([this, alive, event] {
        if (alive.lock() && handler_) handler_(event);
    });
}

// ------------------------------------------------------------ the model

bool PulseAudioBackend::isAudioSystemAvailable() {
    std::lock_guard guard(modelMutex_);
    return ready_;
}

std::vector<AudioDeviceInfo> PulseAudioBackend::devices() {
    std::lock_guard guard(modelMutex_);
    std::vector<AudioDeviceInfo> out;
    if (!ready_) return out;
    for (const auto& s : sources_) {
        if (!s.info.isMonitor) out.push_back(s.info);
    }
    return out;
}

std::optional<AudioDeviceInfo> PulseAudioBackend::defaultInputDevice() {
    std::lock_guard guard(modelMutex_);
    if (!ready_) return std::nullopt;
    for (const auto& s : sources_) {
        if (s.info.uid == defaultSource_) return s.info;
    }
    return std::nullopt;
}

// ------------------------------------------------------------ capture

void PulseAudioBackend::start(const AudioDeviceInfo& device, Tap tap) {
    pa_threaded_mainloop_lock(mainloop_);
    stopLocked();
    pa_channel_map map{};
    bool known = false;
    {
        std::lock_guard guard(modelMutex_);
        for (const auto& s : sources_) {
            if (s.info.uid == device.uid) {
                map = s.channelMap;
                known = true;
            }
        }
        known = known && ready_;
    }
    if (!known || context_ == nullptr) {
        pa_threaded_mainloop_unlock(mainloop_);
        throw std::runtime_error(context_ == nullptr ? "sound server not connected" : "no such source");
    }
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = static_cast<std::uint32_t>(device.nominalSampleRate);
    spec.channels = static_cast<std::uint8_t>(device.inputChannels);
    stream_ = pa_stream_new(context_, "Parlando microphone", &spec,
                            pa_channel_map_compatible(&map, &spec) ? &map : nullptr);
    if (stream_ == nullptr) {
        const std::string why = pa_strerror(pa_context_errno(context_));
        pa_threaded_mainloop_unlock(mainloop_);
        throw std::runtime_error("pa_stream_new: " + why);
    }
    tap_ = std::move(tap);
    streamSource_ = device.uid;
    streamChannels_ = spec.channels;
    streamRate_ = spec.rate;
    carry_.clear();
    pa_stream_set_state_callback(stream_, &Callbacks::streamState, this);
    pa_stream_set_read_callback(stream_, &Callbacks::streamRead, this);
    if (connectRecordStream(stream_, device.uid.c_str(), spec) < 0) {
        const std::string why = pa_strerror(pa_context_errno(context_));
        stopLocked();
        pa_threaded_mainloop_unlock(mainloop_);
        throw std::runtime_error("capture from " + device.uid + " failed: " + why);
    }
    running_ = true;
    armAnswerTimerLocked();
    pa_threaded_mainloop_unlock(mainloop_);
}

void PulseAudioBackend::stopLocked() {
    running_ = false;
    if (stream_ != nullptr) {
        if (answerTimer_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_CREATING) freeAnswerTimerLocked();
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        if (pa_stream_get_state(stream_) == PA_STREAM_READY || pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
            pa_stream_disconnect(stream_);
        }
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    tap_ = nullptr;
    carry_.clear();
}

void PulseAudioBackend::stop() {
    pa_threaded_mainloop_lock(mainloop_);
    stopLocked();
    pa_threaded_mainloop_unlock(mainloop_);
}

bool PulseAudioBackend::isRunning() const { return running_.load(); }

void PulseAudioBackend::setEventHandler(std::function<void(AudioSystemEvent)> handler) { handler_ = std::move(handler); }

}  // namespace parlando
