#include "audio/adapters/PulseAudioBackend.h"

#include <pulse/pulseaudio.h>

#include <cstring>
#include <stdexcept>

namespace parlando {

namespace {

constexpr std::uint32_t kInvalidIndex = static_cast<std::uint32_t>(-1);
constexpr int kOperationTimeoutSeconds = 5;

std::string lowerText(const char* s) {
    std::string out = s != nullptr ? s : "";
    for (auto& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

}  // namespace

struct PulseAudioBackend::SourceRecord {
    AudioDeviceInfo info;
    bool isMonitor = false;
    pa_channel_map channelMap{};
};

namespace {

PulseAudioBackend::SourceRecord recordFrom(const pa_source_info* i) {
    PulseAudioBackend::SourceRecord r;
    r.info.id = i->index;
    r.info.uid = i->name != nullptr ? i->name : "";
    if (i->description != nullptr && *i->description != '\0') r.info.name = i->description;
    r.info.inputChannels = i->sample_spec.channels;
    r.info.nominalSampleRate = i->sample_spec.rate;
    r.isMonitor = i->monitor_of_sink != kInvalidIndex;
    r.info.isBuiltIn = !r.isMonitor && PulseAudioBackend::isBuiltInSource(
                                           i->proplist, i->active_port != nullptr ? i->active_port->name : nullptr);
    r.channelMap = i->channel_map;
    return r;
}

}  // namespace

bool PulseAudioBackend::isBuiltInSource(const pa_proplist* properties, const char* activePortName) {
    const std::string formFactor = lowerText(pa_proplist_gets(properties, PA_PROP_DEVICE_FORM_FACTOR));
    const std::string bus = lowerText(pa_proplist_gets(properties, PA_PROP_DEVICE_BUS));
    const bool external = bus == "usb" || bus == "bluetooth" || bus == "firewire";
    if (formFactor == "internal") return !external;
    if (!formFactor.empty()) return false;
    // No form factor: an on-board codec whose active input is the internal microphone.
    const std::string port = lowerText(activePortName);
    return (bus == "pci" || bus == "platform") && port.find("internal-mic") != std::string::npos;
}

// ------------------------------------------------------------ C callbacks

struct PulseAudioBackend::Callbacks {
    static void contextState(pa_context* c, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        if (c != self->context_) return;
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY: {
            self->wasReady_ = true;
            self->connected_ = true;
            const bool comeBack = self->outageLogged_ || self->everConnected_;
            self->outageLogged_ = false;
            self->log_.append(std::string("audio: sound server connected (") +
                              (pa_context_get_server(c) ? pa_context_get_server(c) : "?") + ")");
            pa_context_set_subscribe_callback(c, &Callbacks::subscription, self);
            pa_operation* op = pa_context_subscribe(
                c, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
                &Callbacks::success, self);
            if (op) pa_operation_unref(op);
            self->knownInputs_.clear();
            op = pa_context_get_source_info_list(c, &Callbacks::rememberSource, self);
            if (op) pa_operation_unref(op);
            op = pa_context_get_server_info(c, &Callbacks::rememberDefault, self);
            if (op) pa_operation_unref(op);
            if (comeBack) self->postEvent(AudioSystemEvent::audioSystemAppeared);
            self->everConnected_ = true;
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: {
            const int err = pa_context_errno(c);
            self->connected_ = false;
            if (self->wasReady_) {
                self->wasReady_ = false;
                self->log_.append(std::string("audio: sound server connection lost (") + pa_strerror(err) +
                                  ") — no input device until it is back");
                if (self->stream_ != nullptr) self->running_ = false;
                if (!self->shuttingDown_) self->postEvent(AudioSystemEvent::configurationChanged);
                self->outageLogged_ = true;
            } else if (!self->outageLogged_) {
                self->log_.append(std::string("audio: sound server not running (") + pa_strerror(err) +
                                  ") — no input device; retrying every " +
                                  std::to_string(static_cast<int>(toSeconds(self->reconnectInterval_))) + " s");
                self->outageLogged_ = true;
            }
            if (!self->shuttingDown_) self->scheduleReconnectLocked();
            break;
        }
        default:
            break;
        }
        pa_threaded_mainloop_signal(self->mainloop_, 0);
    }

    static void success(pa_context*, int, void* userdata) {
        pa_threaded_mainloop_signal(static_cast<PulseAudioBackend*>(userdata)->mainloop_, 0);
    }

    static void rememberSource(pa_context*, const pa_source_info* i, int eol, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        if (eol == 0 && i != nullptr && i->monitor_of_sink == kInvalidIndex) self->knownInputs_.insert(i->index);
    }

    static void newSource(pa_context*, const pa_source_info* i, int eol, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        if (eol != 0 || i == nullptr || i->monitor_of_sink != kInvalidIndex) return;
        if (self->knownInputs_.insert(i->index).second) {
            self->log_.append(std::string("audio: input device added — ") + (i->name ? i->name : "?"));
            self->postEvent(AudioSystemEvent::configurationChanged);
        }
    }

    static void rememberDefault(pa_context*, const pa_server_info* i, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        if (i != nullptr) self->defaultSource_ = i->default_source_name ? i->default_source_name : "";
    }

    static void checkDefault(pa_context*, const pa_server_info* i, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        if (i == nullptr) return;
        const std::string now = i->default_source_name ? i->default_source_name : "";
        if (now == self->defaultSource_) return;
        self->defaultSource_ = now;
        self->log_.append("audio: default input changed — " + now);
        self->postEvent(AudioSystemEvent::configurationChanged);
    }

    static void subscription(pa_context* c, pa_subscription_event_type_t t, std::uint32_t index, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        const unsigned facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const unsigned type = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
            if (type == PA_SUBSCRIPTION_EVENT_NEW) {
                pa_operation* op = pa_context_get_source_info_by_index(c, index, &Callbacks::newSource, self);
                if (op) pa_operation_unref(op);
            } else if (type == PA_SUBSCRIPTION_EVENT_REMOVE && self->knownInputs_.erase(index) > 0) {
                self->log_.append("audio: input device removed — #" + std::to_string(index));
                self->postEvent(AudioSystemEvent::configurationChanged);
            }
        } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER && type == PA_SUBSCRIPTION_EVENT_CHANGE) {
            pa_operation* op = pa_context_get_server_info(c, &Callbacks::checkDefault, self);
            if (op) pa_operation_unref(op);
        }
    }

    static void reconnect(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        api->time_free(e);
        if (self->reconnectTimer_ == e) self->reconnectTimer_ = nullptr;
        if (self->shuttingDown_) return;
        self->dropContextLocked();
        self->connectLocked();
    }

    static void streamState(pa_stream* s, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        if (s != self->stream_) return;
        const pa_stream_state_t state = pa_stream_get_state(s);
        if (state == PA_STREAM_READY) {
            self->running_ = true;
        } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            const bool wasRunning = self->running_.exchange(false);
            if (wasRunning && !self->stopping_ && self->wasReady_) {
                self->log_.append(std::string("audio: capture stream ended (") +
                                  pa_strerror(pa_context_errno(self->context_)) + ")");
                self->postEvent(AudioSystemEvent::configurationChanged);
            }
        }
        pa_threaded_mainloop_signal(self->mainloop_, 0);
    }

    static void streamRead(pa_stream* s, std::size_t, void* userdata) {
        auto* self = static_cast<PulseAudioBackend*>(userdata);
        if (s != self->stream_) return;
        const std::size_t frameBytes = sizeof(float) * self->streamChannels_;
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
            if (data != nullptr && self->tap_ && frameBytes > 0) {
                // Copy out: the tap wants aligned, whole frames.
                auto& carry = self->carry_;
                const auto* p = static_cast<const std::uint8_t*>(data);
                carry.insert(carry.end(), p, p + bytes);
                const std::size_t frames = carry.size() / frameBytes;
                if (frames > 0) {
                    self->frames_.resize(frames * self->streamChannels_);
                    std::memcpy(self->frames_.data(), carry.data(), frames * frameBytes);
                    carry.erase(carry.begin(), carry.begin() + static_cast<long>(frames * frameBytes));
                    self->tap_(AudioBufferView{self->frames_.data(), frames, self->streamChannels_, self->streamRate_});
                }
            }
            // A hole (no data) is dropped.
            pa_stream_drop(s);
        }
    }

    static void sourceInfo(pa_context*, const pa_source_info* i, int eol, void* userdata) {
        auto* out = static_cast<std::pair<PulseAudioBackend*, std::vector<SourceRecord>*>*>(userdata);
        if (eol == 0 && i != nullptr) out->second->push_back(recordFrom(i));
        if (eol != 0) pa_threaded_mainloop_signal(out->first->mainloop_, 0);
    }

    static void serverInfo(pa_context*, const pa_server_info* i, void* userdata) {
        auto* out = static_cast<std::pair<PulseAudioBackend*, std::optional<std::string>*>*>(userdata);
        if (i != nullptr && i->default_source_name != nullptr) *out->second = i->default_source_name;
        pa_threaded_mainloop_signal(out->first->mainloop_, 0);
    }

    static void timeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* flag = static_cast<std::pair<PulseAudioBackend*, bool>*>(userdata);
        flag->second = true;
        pa_threaded_mainloop_signal(flag->first->mainloop_, 0);
    }
};

// ------------------------------------------------------------ lifecycle

PulseAudioBackend::PulseAudioBackend(MainLoop& loop, Log& log, Duration reconnectInterval)
    : loop_(loop), log_(log), reconnectInterval_(reconnectInterval) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr) throw std::runtime_error("pa_threaded_mainloop_new failed");
    pa_threaded_mainloop_set_name(mainloop_, "parlando-pulse");
    if (pa_threaded_mainloop_start(mainloop_) < 0) {
        pa_threaded_mainloop_free(mainloop_);
        throw std::runtime_error("pa_threaded_mainloop_start failed");
    }
    pa_threaded_mainloop_lock(mainloop_);
    connectLocked();
    // Wait for the first verdict so that the first device queries are right.
    std::pair<PulseAudioBackend*, bool> timedOut{this, false};
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
    timeval tv;
    pa_timeval_add(pa_gettimeofday(&tv), 3 * PA_USEC_PER_SEC);
    pa_time_event* guard = api->time_new(api, &tv, &Callbacks::timeout, &timedOut);
    while (!timedOut.second && context_ != nullptr && !wasReady_ && !outageLogged_) {
        pa_threaded_mainloop_wait(mainloop_);
    }
    if (!timedOut.second) api->time_free(guard);
    pa_threaded_mainloop_unlock(mainloop_);
}

PulseAudioBackend::~PulseAudioBackend() {
    pa_threaded_mainloop_lock(mainloop_);
    shuttingDown_ = true;
    stopLocked();
    if (reconnectTimer_ != nullptr) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
        api->time_free(reconnectTimer_);
        reconnectTimer_ = nullptr;
    }
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
    wasReady_ = false;
    if (context_ == nullptr) {
        scheduleReconnectLocked();
        return;
    }
    pa_context_set_state_callback(context_, &Callbacks::contextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        // The state callback has already reported FAILED and armed the retry.
        if (reconnectTimer_ == nullptr) scheduleReconnectLocked();
    }
}

void PulseAudioBackend::dropContextLocked() {
    if (context_ == nullptr) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
    connected_ = false;
    wasReady_ = false;
}

void PulseAudioBackend::scheduleReconnectLocked() {
    if (reconnectTimer_ != nullptr || shuttingDown_) return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
    timeval tv;
    pa_timeval_add(pa_gettimeofday(&tv),
                   static_cast<pa_usec_t>(std::chrono::duration_cast<std::chrono::microseconds>(reconnectInterval_).count()));
    reconnectTimer_ = api->time_new(api, &tv, &Callbacks::reconnect, this);
}

void PulseAudioBackend::postEvent(AudioSystemEvent event) {
    std::weak_ptr<int> alive = alive_;
    loop_.post([this, alive, event] {
        if (alive.lock() && handler_) handler_(event);
    });
}

bool PulseAudioBackend::readyLocked() const {
    return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

template <class MakeOp>
bool PulseAudioBackend::waitOperationLocked(MakeOp makeOp) {
    if (!readyLocked()) return false;
    pa_operation* op = makeOp();
    if (op == nullptr) return false;
    std::pair<PulseAudioBackend*, bool> timedOut{this, false};
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
    timeval tv;
    pa_timeval_add(pa_gettimeofday(&tv), kOperationTimeoutSeconds * PA_USEC_PER_SEC);
    pa_time_event* guard = api->time_new(api, &tv, &Callbacks::timeout, &timedOut);
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && !timedOut.second) pa_threaded_mainloop_wait(mainloop_);
    if (!timedOut.second) api->time_free(guard);
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    if (!done) pa_operation_cancel(op);
    pa_operation_unref(op);
    return done;
}

// ------------------------------------------------------------ queries

std::vector<PulseAudioBackend::SourceRecord> PulseAudioBackend::listSourcesLocked() {
    std::vector<SourceRecord> out;
    std::pair<PulseAudioBackend*, std::vector<SourceRecord>*> ctx{this, &out};
    if (!waitOperationLocked([&] { return pa_context_get_source_info_list(context_, &Callbacks::sourceInfo, &ctx); })) {
        return {};
    }
    return out;
}

std::optional<PulseAudioBackend::SourceRecord> PulseAudioBackend::sourceByNameLocked(const std::string& name) {
    std::vector<SourceRecord> out;
    std::pair<PulseAudioBackend*, std::vector<SourceRecord>*> ctx{this, &out};
    if (!waitOperationLocked(
            [&] { return pa_context_get_source_info_by_name(context_, name.c_str(), &Callbacks::sourceInfo, &ctx); }) ||
        out.empty()) {
        return std::nullopt;
    }
    return out.front();
}

std::optional<PulseAudioBackend::SourceRecord> PulseAudioBackend::sourceByIndexLocked(std::uint32_t index) {
    std::vector<SourceRecord> out;
    std::pair<PulseAudioBackend*, std::vector<SourceRecord>*> ctx{this, &out};
    if (!waitOperationLocked(
            [&] { return pa_context_get_source_info_by_index(context_, index, &Callbacks::sourceInfo, &ctx); }) ||
        out.empty()) {
        return std::nullopt;
    }
    return out.front();
}

std::optional<std::string> PulseAudioBackend::defaultSourceNameLocked() {
    std::optional<std::string> name;
    std::pair<PulseAudioBackend*, std::optional<std::string>*> ctx{this, &name};
    if (!waitOperationLocked([&] { return pa_context_get_server_info(context_, &Callbacks::serverInfo, &ctx); })) {
        return std::nullopt;
    }
    return name;
}

bool PulseAudioBackend::isAudioSystemAvailable() {
    pa_threaded_mainloop_lock(mainloop_);
    const bool ready = readyLocked();
    pa_threaded_mainloop_unlock(mainloop_);
    return ready;
}

std::vector<AudioDeviceInfo> PulseAudioBackend::devices() {
    pa_threaded_mainloop_lock(mainloop_);
    auto sources = listSourcesLocked();
    pa_threaded_mainloop_unlock(mainloop_);
    std::vector<AudioDeviceInfo> out;
    for (auto& s : sources) {
        if (!s.isMonitor) out.push_back(std::move(s.info));
    }
    return out;
}

std::optional<AudioDeviceInfo> PulseAudioBackend::defaultInputDevice() {
    pa_threaded_mainloop_lock(mainloop_);
    std::optional<SourceRecord> source;
    if (auto name = defaultSourceNameLocked()) source = sourceByNameLocked(*name);
    pa_threaded_mainloop_unlock(mainloop_);
    if (!source) return std::nullopt;
    return source->info;
}

void PulseAudioBackend::setInputDevice(std::optional<std::uint32_t> id) {
    pa_threaded_mainloop_lock(mainloop_);
    if (!id) {
        boundSource_.reset();
        pa_threaded_mainloop_unlock(mainloop_);
        return;
    }
    auto source = sourceByIndexLocked(*id);
    const int err = context_ != nullptr ? pa_context_errno(context_) : PA_ERR_CONNECTIONREFUSED;
    if (source && !source->isMonitor) boundSource_ = source->info.uid;
    pa_threaded_mainloop_unlock(mainloop_);
    if (!source || source->isMonitor) {
        const int code = source ? PA_ERR_INVALID : (err != 0 ? err : PA_ERR_NOENTITY);
        throw AudioDeviceError("AudioDevices", code,
                               "pa_context_get_source_info_by_index(" + std::to_string(*id) +
                                   ") failed: " + pa_strerror(code));
    }
}

AudioStreamFormat PulseAudioBackend::inputFormat() {
    pa_threaded_mainloop_lock(mainloop_);
    std::optional<SourceRecord> source;
    std::optional<std::string> name = boundSource_;
    if (!name) name = defaultSourceNameLocked();
    if (name) source = sourceByNameLocked(*name);
    pa_threaded_mainloop_unlock(mainloop_);
    if (!source) return {};
    return {source->info.nominalSampleRate, source->info.inputChannels};
}

// ------------------------------------------------------------ capture

void PulseAudioBackend::start(Tap tap) {
    pa_threaded_mainloop_lock(mainloop_);
    stopLocked();
    std::optional<std::string> name = boundSource_;
    if (!name) name = defaultSourceNameLocked();
    std::optional<SourceRecord> source;
    if (name) source = sourceByNameLocked(*name);
    if (!source) {
        const std::string why = readyLocked() ? "no such source" : "sound server not connected";
        pa_threaded_mainloop_unlock(mainloop_);
        throw std::runtime_error("cannot open capture: " + why);
    }
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = static_cast<std::uint32_t>(source->info.nominalSampleRate);
    spec.channels = static_cast<std::uint8_t>(source->info.inputChannels);
    const pa_channel_map* map = pa_channel_map_compatible(&source->channelMap, &spec) ? &source->channelMap : nullptr;
    stream_ = pa_stream_new(context_, "Parlando microphone", &spec, map);
    if (stream_ == nullptr) {
        const std::string why = pa_strerror(pa_context_errno(context_));
        pa_threaded_mainloop_unlock(mainloop_);
        throw std::runtime_error("pa_stream_new: " + why);
    }
    tap_ = std::move(tap);
    streamChannels_ = spec.channels;
    streamRate_ = spec.rate;
    carry_.clear();
    stopping_ = false;
    pa_stream_set_state_callback(stream_, &Callbacks::streamState, this);
    pa_stream_set_read_callback(stream_, &Callbacks::streamRead, this);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(20000, &spec));
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    std::string error;
    if (pa_stream_connect_record(stream_, source->info.uid.c_str(), &attr, flags) < 0) {
        error = pa_strerror(pa_context_errno(context_));
    } else {
        std::pair<PulseAudioBackend*, bool> timedOut{this, false};
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
        timeval tv;
        pa_timeval_add(pa_gettimeofday(&tv), kOperationTimeoutSeconds * PA_USEC_PER_SEC);
        pa_time_event* guard = api->time_new(api, &tv, &Callbacks::timeout, &timedOut);
        while (stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_CREATING && !timedOut.second) {
            pa_threaded_mainloop_wait(mainloop_);
        }
        if (!timedOut.second) api->time_free(guard);
        if (stream_ == nullptr || pa_stream_get_state(stream_) != PA_STREAM_READY) {
            error = timedOut.second ? "timed out" : pa_strerror(pa_context_errno(context_));
        }
    }
    if (!error.empty()) {
        stopLocked();
        pa_threaded_mainloop_unlock(mainloop_);
        throw std::runtime_error("capture from " + source->info.uid + " failed: " + error);
    }
    running_ = true;
    pa_threaded_mainloop_unlock(mainloop_);
}

void PulseAudioBackend::stopLocked() {
    running_ = false;
    if (stream_ != nullptr) {
        stopping_ = true;
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
