#include "audio/adapters/PulseSystemAudioCapture.h"

#include "audio/adapters/PulseRecordStream.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace parlando {

namespace {

// What the user can do when no server answers: the Linux counterpart of the
// screen-recording permission.
std::string noServerText(const std::string& why) {
    return "no sound server answers (" + why +
           ") — start PulseAudio or PipeWire with pipewire-pulse for your session and start the meeting again";
}

std::string noMonitorText(const std::string& output) {
    return "the output '" + output +
           "' offers nothing to record from — choose another output in the sound settings and start the meeting again";
}

std::string contextError(pa_context* c) { return pa_strerror(c != nullptr ? pa_context_errno(c) : PA_ERR_UNKNOWN); }

// A hole in a record stream becomes silence, up to a second of it.
constexpr std::size_t kMaxHoleBytes = 192000 * sizeof(float);
// How long a capture that lost its output waits for a new default.
constexpr pa_usec_t kGraceMicroseconds = 1000 * 1000;

}  // namespace

struct PulseSystemAudioCapture::Callbacks {
    static void contextState(pa_context* c, void* userdata) {
        auto* self = static_cast<PulseSystemAudioCapture*>(userdata);
        if (self->stopping_ || c != self->context_) return;
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY: {
            self->contextReady_ = true;
            pa_context_set_subscribe_callback(c, &Callbacks::subscription, self);
            pa_operation* op = pa_context_subscribe(c, PA_SUBSCRIPTION_MASK_SERVER, &Callbacks::subscribed, self);
            if (op != nullptr) pa_operation_unref(op);
            self->queryDefaultLocked();
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: {
            const std::string why = contextError(c);
            if (!self->contextReady_) {
                self->failLocked({SystemAudioError::Kind::permissionDenied, noServerText(why)});
            } else if (self->phase_ == Phase::starting) {
                self->failLocked({SystemAudioError::Kind::streamStart, "the sound server went away (" + why + ")"});
            } else {
                self->lostLocked("System audio stopped: the sound server went away (" + why + ")");
            }
            break;
        }
        default:
            break;
        }
    }

    static void subscribed(pa_context*, int, void*) {}

    static void subscription(pa_context*, pa_subscription_event_type_t t, std::uint32_t, void* userdata) {
        auto* self = static_cast<PulseSystemAudioCapture*>(userdata);
        if (self->stopping_ || self->phase_ != Phase::running) return;
        if ((t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER &&
            (t & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_CHANGE) {
            self->queryDefaultLocked();
        }
    }

    static void serverInfo(pa_context* c, const pa_server_info* i, void* userdata) {
        auto* self = static_cast<PulseSystemAudioCapture*>(userdata);
        if (self->stopping_) return;
        if (i == nullptr) {
            self->noOutputLocked(SystemAudioError{SystemAudioError::Kind::streamStart, contextError(c)});
            return;
        }
        const char* sink = i->default_sink_name;
        if (sink == nullptr || *sink == '\0') {
            self->noOutputLocked(SystemAudioError{SystemAudioError::Kind::noContent, {}});
            return;
        }
        pa_operation* op = pa_context_get_sink_info_by_name(c, sink, &Callbacks::sinkInfo, self);
        if (op != nullptr) pa_operation_unref(op);
    }

    static void sinkInfo(pa_context* c, const pa_sink_info* i, int eol, void* userdata) {
        auto* self = static_cast<PulseSystemAudioCapture*>(userdata);
        if (self->stopping_ || eol > 0) return;
        if (eol < 0 || i == nullptr) {  // the default names an output that is gone
            self->noOutputLocked(SystemAudioError{SystemAudioError::Kind::noContent, {}});
            return;
        }
        const std::string output = i->description != nullptr && *i->description != '\0' ? i->description : i->name;
        if (i->monitor_source_name == nullptr || *i->monitor_source_name == '\0') {
            self->noOutputLocked(SystemAudioError{SystemAudioError::Kind::permissionDenied, noMonitorText(output)});
            return;
        }
        self->nextOutput_ = output;
        pa_operation* op = pa_context_get_source_info_by_name(c, i->monitor_source_name, &Callbacks::sourceInfo, self);
        if (op != nullptr) pa_operation_unref(op);
    }

    static void sourceInfo(pa_context*, const pa_source_info* i, int eol, void* userdata) {
        auto* self = static_cast<PulseSystemAudioCapture*>(userdata);
        if (self->stopping_ || eol > 0) return;
        if (eol < 0 || i == nullptr) {
            self->noOutputLocked(
                SystemAudioError{SystemAudioError::Kind::permissionDenied, noMonitorText(self->nextOutput_)});
            return;
        }
        self->openStreamLocked(*i);
    }

    static void streamState(pa_stream* s, void* userdata) {
        auto* self = static_cast<PulseSystemAudioCapture*>(userdata);
        if (self->stopping_) return;
        const pa_stream_state_t state = pa_stream_get_state(s);
        if (state == PA_STREAM_READY && s == self->nextStream_) {
            self->promoteLocked();
            return;
        }
        if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
        // A dying connection takes its streams along; the context reports that.
        if (pa_context_get_state(self->context_) != PA_CONTEXT_READY) return;
        const std::string why = contextError(self->context_);
        if (s == self->nextStream_) {
            self->dropStreamLocked(self->nextStream_);
            self->noOutputLocked(SystemAudioError{SystemAudioError::Kind::streamStart, why});
        } else if (s == self->stream_) {
            // The recorded output went away (or the server ended the stream):
            // follow whatever output is the default now.
            self->log_.append("audio: system-audio stream ended (" + why + ") — looking for the default output");
            self->dropStreamLocked(self->stream_);
            self->monitor_.clear();
            self->graceOver_ = false;
            self->queryDefaultLocked();
        }
    }

    static void graceOver(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* userdata) {
        auto* self = static_cast<PulseSystemAudioCapture*>(userdata);
        api->time_free(e);
        if (self->graceTimer_ == e) self->graceTimer_ = nullptr;
        if (self->stopping_ || self->stream_ != nullptr) return;
        self->graceOver_ = true;
        self->queryDefaultLocked();
    }

    static void streamRead(pa_stream* s, std::size_t, void* userdata) {
        auto* self = static_cast<PulseSystemAudioCapture*>(userdata);
        if (!self->stopping_ && s == self->stream_) self->readLocked(s);
    }
};

PulseSystemAudioCapture::PulseSystemAudioCapture(MainLoop& loop, Log& log, AudioConverterFactory& converters,
                                                 Duration startTimeout)
    : loop_(loop), log_(log), startTimeout_(startTimeout), chunker_(converters) {}

PulseSystemAudioCapture::~PulseSystemAudioCapture() { teardown(); }

void PulseSystemAudioCapture::start(Completion completion) {
    ++generation_;
    teardown();
    pending_ = std::move(completion);
    const std::uint64_t generation = generation_;
    std::weak_ptr<int> alive = alive_;
    startTimer_.startOnce(loop_, startTimeout_, [this, alive, generation] {
        if (!alive.lock() || generation != generation_ || !pending_ || mainloop_ == nullptr) return;
        startTimer_.release();
        pa_threaded_mainloop_lock(mainloop_);
        const bool reached = contextReady_;
        pa_threaded_mainloop_unlock(mainloop_);
        const SystemAudioError error =
            reached ? SystemAudioError{SystemAudioError::Kind::streamStart, "the sound server did not open the stream"}
                    : SystemAudioError{SystemAudioError::Kind::permissionDenied, noServerText("timed out")};
        log_.append("audio: system audio did not start — " + error.description());
        teardown();
        auto done = std::exchange(pending_, nullptr);
        done(error);
    });

    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr || pa_threaded_mainloop_start(mainloop_) < 0) {
        if (mainloop_ != nullptr) pa_threaded_mainloop_free(mainloop_);
        mainloop_ = nullptr;
        loop_.post([this, alive, generation] {
            if (!alive.lock() || generation != generation_ || !pending_) return;
            startTimer_.reset();
            auto done = std::exchange(pending_, nullptr);
            done(SystemAudioError{SystemAudioError::Kind::streamStart, "no PulseAudio main loop"});
        });
        return;
    }
    pa_threaded_mainloop_set_name(mainloop_, "parlando-sysaudio");
    pa_threaded_mainloop_lock(mainloop_);
    stopping_ = false;
    failed_ = false;
    graceOver_ = false;
    lossReported_ = false;
    contextReady_ = false;
    conversionErrorReported_ = false;
    phase_ = Phase::starting;
    runGeneration_ = generation;
    chunkSink_ = onAudioChunk;
    monitor_.clear();
    nextMonitor_.clear();
    carry_.clear();
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Parlando");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "parlando");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_), "Parlando system audio", props);
    pa_proplist_free(props);
    if (context_ == nullptr) {
        failLocked({SystemAudioError::Kind::streamStart, "pa_context_new failed"});
    } else {
        pa_context_set_state_callback(context_, &Callbacks::contextState, this);
        // Never spawn a server of our own: the user's session decides.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            failLocked({SystemAudioError::Kind::permissionDenied, noServerText(contextError(context_))});
        }
    }
    pa_threaded_mainloop_unlock(mainloop_);
}

void PulseSystemAudioCapture::stop(std::function<void()> completion) {
    ++generation_;
    pending_ = nullptr;
    startTimer_.reset();
    if (mainloop_ != nullptr) log_.append("audio: system audio stopped");
    teardown();
    // Runs even if the caller has let go of us meanwhile: it waits for it.
    if (completion) loop_.post(std::move(completion));
}

void PulseSystemAudioCapture::teardown() {
    startTimer_.reset();
    if (mainloop_ == nullptr) return;
    pa_threaded_mainloop_lock(mainloop_);
    stopping_ = true;
    dropGraceTimerLocked();
    dropStreamLocked(nextStream_);
    dropStreamLocked(stream_);
    if (context_ != nullptr) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    pa_threaded_mainloop_unlock(mainloop_);
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
    mainloop_ = nullptr;
    // The thread is gone: the sample path can be reset without a lock.
    chunker_.reset();
    carry_.clear();
    chunkSink_ = nullptr;
}

// ------------------------------------------------------------ PulseAudio's thread

void PulseSystemAudioCapture::queryDefaultLocked() {
    pa_operation* op = pa_context_get_server_info(context_, &Callbacks::serverInfo, this);
    if (op != nullptr) {
        pa_operation_unref(op);
    } else {
        noOutputLocked(SystemAudioError{SystemAudioError::Kind::streamStart, contextError(context_)});
    }
}

void PulseSystemAudioCapture::noOutputLocked(const SystemAudioError& error) {
    if (phase_ == Phase::starting) {
        failLocked(error);
    } else if (stream_ == nullptr && nextStream_ == nullptr) {
        // Servers pass through "no default" while they replace a removed
        // output: give the new default a moment before calling it a loss.
        if (!graceOver_) {
            if (graceTimer_ == nullptr) {
                pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
                timeval tv;
                pa_timeval_add(pa_gettimeofday(&tv), kGraceMicroseconds);
                graceTimer_ = api->time_new(api, &tv, &Callbacks::graceOver, this);
            }
            return;
        }
        if (lossReported_) return;
        lossReported_ = true;
        lostLocked(error.kind == SystemAudioError::Kind::noContent
                       ? "System audio stopped: no output device is left to record from"
                       : "System audio stopped: " + error.payload);
    } else {
        // Still recording the previous default: better than nothing.
        log_.append("audio: cannot follow the default output — " + error.description());
    }
}

void PulseSystemAudioCapture::openStreamLocked(const pa_source_info& source) {
    const std::string monitor = source.name;
    if ((stream_ != nullptr && monitor == monitor_) || (nextStream_ != nullptr && monitor == nextMonitor_)) return;
    dropStreamLocked(nextStream_);
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = source.sample_spec.rate;
    spec.channels = source.sample_spec.channels;
    const pa_channel_map* map = pa_channel_map_compatible(&source.channel_map, &spec) ? &source.channel_map : nullptr;
    nextStream_ = pa_stream_new(context_, "Parlando system audio", &spec, map);
    if (nextStream_ == nullptr) {
        noOutputLocked(SystemAudioError{SystemAudioError::Kind::streamStart, "pa_stream_new: " + contextError(context_)});
        return;
    }
    nextMonitor_ = monitor;
    pa_stream_set_state_callback(nextStream_, &Callbacks::streamState, this);
    pa_stream_set_read_callback(nextStream_, &Callbacks::streamRead, this);
    if (connectRecordStream(nextStream_, monitor.c_str(), spec) < 0) {
        const std::string why = contextError(context_);
        dropStreamLocked(nextStream_);
        noOutputLocked(SystemAudioError{SystemAudioError::Kind::streamStart, why});
    }
}

void PulseSystemAudioCapture::promoteLocked() {
    if (stream_ != nullptr) {
        readLocked(stream_);  // what the old output played last still counts
        dropStreamLocked(stream_);
    }
    stream_ = std::exchange(nextStream_, nullptr);
    monitor_ = nextMonitor_;
    carry_.clear();
    graceOver_ = false;
    lossReported_ = false;
    dropGraceTimerLocked();
    const pa_sample_spec* spec = pa_stream_get_sample_spec(stream_);
    const std::string format = formatSampleRate(spec->rate) + " Hz, " + std::to_string(spec->channels) + " ch";
    if (phase_ == Phase::running) {
        log_.append("audio: default output changed — system audio now from " + monitor_ + " (" + format + ")");
        return;
    }
    phase_ = Phase::running;
    log_.append("audio: system audio from " + monitor_ + " (" + format + ")");
    std::weak_ptr<int> alive = alive_;
    const std::uint64_t generation = runGeneration_;
    loop_.post([this, alive, generation] {
        if (!alive.lock() || generation != generation_ || !pending_) return;
        startTimer_.reset();
        auto done = std::exchange(pending_, nullptr);
        done(std::nullopt);
    });
}

void PulseSystemAudioCapture::failLocked(const SystemAudioError& error) {
    if (failed_) return;
    failed_ = true;
    log_.append("audio: system audio did not start — " + error.description());
    std::weak_ptr<int> alive = alive_;
    const std::uint64_t generation = runGeneration_;
    loop_.post([this, alive, generation, error] {
        if (!alive.lock() || generation != generation_ || !pending_) return;
        teardown();
        auto done = std::exchange(pending_, nullptr);
        done(error);
    });
}

void PulseSystemAudioCapture::lostLocked(const std::string& description) {
    log_.append("audio: " + description);
    reportLocked(description);
}

void PulseSystemAudioCapture::reportLocked(const std::string& description) {
    std::weak_ptr<int> alive = alive_;
    const std::uint64_t generation = runGeneration_;
    loop_.post([this, alive, generation, description] {
        if (!alive.lock() || generation != generation_ || !onError) return;
        onError(description);
    });
}

void PulseSystemAudioCapture::readLocked(pa_stream* s) {
    const pa_sample_spec* spec = pa_stream_get_sample_spec(s);
    const std::size_t frameBytes = sizeof(float) * spec->channels;
    if (frameBytes == 0) return;
    while (pa_stream_readable_size(s) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
        if (data != nullptr) {
            const auto* p = static_cast<const std::uint8_t*>(data);
            carry_.insert(carry_.end(), p, p + bytes);
        } else {
            // The server lost some audio: keep time with silence.
            carry_.resize(carry_.size() + std::min(bytes, kMaxHoleBytes) / frameBytes * frameBytes, 0);
        }
        pa_stream_drop(s);
        const std::size_t frames = carry_.size() / frameBytes;
        if (frames == 0) continue;
        frames_.resize(frames * spec->channels);
        std::memcpy(frames_.data(), carry_.data(), frames * frameBytes);
        carry_.erase(carry_.begin(), carry_.begin() + static_cast<long>(frames * frameBytes));
        const auto error = chunker_.process(AudioBufferView{frames_.data(), frames, spec->channels, double(spec->rate)},
                                            chunkSink_);
        if (error && !conversionErrorReported_) {
            conversionErrorReported_ = true;
            log_.append("audio: system-audio conversion failed — " + *error);
            reportLocked("System audio conversion failed: " + *error);
        }
    }
}

void PulseSystemAudioCapture::dropGraceTimerLocked() {
    if (graceTimer_ == nullptr) return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
    api->time_free(graceTimer_);
    graceTimer_ = nullptr;
}

void PulseSystemAudioCapture::dropStreamLocked(pa_stream*& s) {
    if (s == nullptr) return;
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY || state == PA_STREAM_CREATING) pa_stream_disconnect(s);
    pa_stream_unref(s);
    s = nullptr;
}

}  // namespace parlando
