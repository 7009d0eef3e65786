#include "audio/AudioCapture.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace parlando {

static_assert(std::endian::native == std::endian::little, "chunks are little-endian PCM copied as is");

namespace {

std::string trimmedUID(const std::string& s) {
    const char* blanks = " \t\r\n\v\f";
    const auto b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

}  // namespace

template <class F>
void AudioCapture::postIfAlive(F fn) {
    std::weak_ptr<int> alive = alive_;
    loop_.post([alive, fn = std::move(fn)]() mutable {
        if (alive.lock()) fn();
    });
}

AudioCapture::AudioCapture(MainLoop& loop, Settings& settings, Log& log, AudioBackend& backend,
                           AudioConverterFactory& converters)
    : loop_(loop), settings_(settings), log_(log), backend_(backend), converters_(converters), devices_(backend) {
    pendingBuffer_.reserve(4 * chunkBytes);
    // A fresh installation starts muted until the user turns listening on.
    isMuted_ = settings_.getBool(mutedKey).value_or(true);
    std::weak_ptr<int> alive = alive_;
    signalTimer_.startRepeating(loop_, seconds(1.0), [this, alive] {
        if (alive.lock()) evaluateSignalHealth();
    });
    backend_.setEventHandler([this, alive](AudioSystemEvent event) {
        if (!alive.lock()) return;
        switch (event) {
        case AudioSystemEvent::configurationChanged: handleConfigurationChange(); break;
        case AudioSystemEvent::streamEnded: handleStreamEnded(); break;
        case AudioSystemEvent::audioSystemLost: handleAudioSystemLost(); break;
        case AudioSystemEvent::audioSystemAppeared: handleAudioSystemAppeared(); break;
        }
    });
}

AudioCapture::~AudioCapture() {
    backend_.setEventHandler(nullptr);
    backend_.stop();
    if (probeTask_ != 0) loop_.cancel(probeTask_);
}

// ------------------------------------------------------------ subscribers and ring

AudioCapture::SubscriptionId AudioCapture::subscribe(ChunkHandler handler) { return subscribe(std::move(handler), nullptr); }

AudioCapture::SubscriptionId AudioCapture::subscribe(ChunkHandler handler, AudioChunk* preRoll) {
    auto shared = std::make_shared<ChunkHandler>(std::move(handler));
    std::lock_guard guard(lock_);
    if (preRoll != nullptr) {
        // Same lock as the ring's writer: nothing slips in between the two.
        preRoll->resize(ringSize_);
        const std::size_t first = std::min(ringSize_, ringMaxBytes - ringStart_);
        if (ringSize_ != 0) {
            std::memcpy(preRoll->data(), ring_.data() + ringStart_, first);
            std::memcpy(preRoll->data() + first, ring_.data(), ringSize_ - first);
        }
    }
    const SubscriptionId id = nextSubscriptionId_++;
    auto next = std::make_shared<std::vector<Subscriber>>(*subscribers_);
    next->push_back(Subscriber{id, std::move(shared)});
    subscribers_ = std::move(next);
    return id;
}

void AudioCapture::unsubscribe(SubscriptionId id) {
    std::shared_ptr<const std::vector<Subscriber>> old;  // released outside the lock
    std::lock_guard guard(lock_);
    auto it = std::find_if(subscribers_->begin(), subscribers_->end(), [id](const Subscriber& s) { return s.id == id; });
    if (it == subscribers_->end()) return;
    auto next = std::make_shared<std::vector<Subscriber>>();
    next->reserve(subscribers_->size() - 1);
    for (const auto& s : *subscribers_) {
        if (s.id != id) next->push_back(s);
    }
    old = std::move(subscribers_);
    subscribers_ = std::move(next);
}

AudioChunk AudioCapture::preRollSnapshot() const {
    std::lock_guard guard(lock_);
    AudioChunk out(ringSize_);
    if (ringSize_ == 0) return out;
    const std::size_t first = std::min(ringSize_, ringMaxBytes - ringStart_);
    std::memcpy(out.data(), ring_.data() + ringStart_, first);
    std::memcpy(out.data() + first, ring_.data(), ringSize_ - first);
    return out;
}

void AudioCapture::process(const AudioBufferView& buffer) {
    if (!converter_ || buffer.frames == 0 || buffer.sampleRate <= 0) return;
    const double ratio = targetSampleRate / buffer.sampleRate;
    const auto capacity = static_cast<std::size_t>(static_cast<double>(buffer.frames) * ratio + 16);
    converted_.clear();
    if (converted_.capacity() < capacity) converted_.reserve(capacity);

    const ConversionResult result = converter_->convert(buffer, converted_);
    if (result.error) {
        if (onError) onError(*result.error);
        return;
    }
    if (result.status == ConversionResult::Status::error || converted_.empty()) return;

    const auto* bytes = reinterpret_cast<const std::uint8_t*>(converted_.data());
    const std::size_t byteCount = converted_.size() * sizeof(std::int16_t);

    std::shared_ptr<const std::vector<Subscriber>> receivers;
    std::vector<AudioChunk> chunks;
    {
        std::lock_guard guard(lock_);
        pendingBuffer_.insert(pendingBuffer_.end(), bytes, bytes + byteCount);
        const bool deliver = !subscribers_->empty();
        std::size_t offset = 0;
        while (pendingBuffer_.size() - offset >= chunkBytes) {
            const std::uint8_t* chunk = pendingBuffer_.data() + offset;
            if (deliver) chunks.emplace_back(chunk, chunk + chunkBytes);
            // The ring is a whole number of chunks long, so a chunk never wraps.
            std::size_t slot;
            if (ringSize_ < ringMaxBytes) {
                slot = (ringStart_ + ringSize_) % ringMaxBytes;
                ringSize_ += chunkBytes;
            } else {
                slot = ringStart_;
                ringStart_ = (ringStart_ + chunkBytes) % ringMaxBytes;
            }
            std::memcpy(ring_.data() + slot, chunk, chunkBytes);
            offset += chunkBytes;
        }
        if (offset > 0) pendingBuffer_.erase(pendingBuffer_.begin(), pendingBuffer_.begin() + static_cast<long>(offset));
        if (deliver) receivers = subscribers_;
    }
    if (!receivers) return;
    for (const auto& chunk : chunks) {
        for (const auto& s : *receivers) (*s.handler)(chunk);
    }
}

// ------------------------------------------------------------ engine control

void AudioCapture::beginSelfOperation() { selfTriggeredOpInFlight_ = true; }

void AudioCapture::endSelfOperation() {
    std::weak_ptr<int> alive = alive_;
    loop_.after(seconds(selfOperationWindowSeconds), [this, alive] {
        if (alive.lock()) selfTriggeredOpInFlight_ = false;
    });
}

void AudioCapture::startEngine() {
    beginSelfOperation();
    struct End {
        AudioCapture* self;
        ~End() { self->endSelfOperation(); }
    } end{this};

    if (serverAway()) {
        log_.append("audio: sound server not reachable — no input device");
        setAvailable(false);
        throw CaptureError::noInputDevice();
    }
    // The device is read once, and the stream opens exactly that device in
    // exactly the format the converter is built for.
    std::optional<AudioDeviceInfo> target;
    if (currentDeviceUID_) {
        target = devices_.inputInfo(*currentDeviceUID_);
        if (!target) {
            setAvailable(false);
            throw CaptureError::selectedDeviceMissing(*currentDeviceUID_);
        }
        log_.append("audio: setInputDevice -> " + AudioDevices::toDevice(*target).name + " (uid=" + target->uid + ")");
    } else {
        std::string names;
        for (const auto& d : devices_.inputDevices()) names += (names.empty() ? "" : ", ") + d.name;
        log_.append("audio: using system default — visible devices: [" + names + "]");
        target = devices_.defaultInputInfo();
        const auto raw = backend_.defaultInputDevice();
        if (raw && raw->isMonitor) {
            log_.append("audio: the default input '" + raw->uid + "' is the monitor of an output — " +
                        (target ? "using '" + target->uid + "' instead" : std::string("no other input")));
        }
    }

    const AudioStreamFormat format =
        target ? AudioStreamFormat{target->nominalSampleRate, target->inputChannels} : AudioStreamFormat{};
    log_.append("audio: inputFormat sampleRate=" + formatSampleRate(format.sampleRate) +
                " channels=" + std::to_string(format.channels));
    if (!(format.sampleRate > 0)) {
        setAvailable(false);
        throw CaptureError::noInputDevice();
    }
    // Replace the converter only while no stream can call process().
    backend_.stop();
    bound_.reset();
    converter_ = converters_.make(format);
    if (!converter_) {
        setAvailable(false);
        throw CaptureError::formatUnsupported("converter init from " + format.description());
    }
    {
        // A stream that died on its own left its audio behind; the pre-roll
        // must never hand out audio from before this start.
        std::lock_guard guard(lock_);
        pendingBuffer_.clear();
        ringStart_ = 0;
        ringSize_ = 0;
    }
    try {
        backend_.start(*target, [this](const AudioBufferView& buffer) { process(buffer); });
    } catch (const std::exception& e) {
        backend_.stop();
        setAvailable(false);
        throw CaptureError::engineStartFailed(e.what());
    }
    bound_ = target;
    setAvailable(true);
}

void AudioCapture::stopEngine() {
    beginSelfOperation();
    backend_.stop();
    bound_.reset();
    {
        std::lock_guard guard(lock_);
        pendingBuffer_.clear();
        ringStart_ = 0;
        ringSize_ = 0;
    }
    setAvailable(false);
    endSelfOperation();
}

void AudioCapture::ensureRunning() {
    if (isMuted_) throw CaptureError::muted();
    wantRunning_ = true;
    if (engineRunning()) return;
    startEngine();
}

void AudioCapture::setMuted(bool muted) {
    if (muted == isMuted_) return;
    isMuted_ = muted;
    settings_.setBool(mutedKey, muted);
    log_.append(std::string("audio: muted = ") + (muted ? "true" : "false"));
    if (!muted) {
        inTotalFailure_ = false;
        wantRunning_ = true;
        if (serverAway()) {
            log_.append("audio: unmuted while the sound server is away — the engine starts when it is back");
        } else {
            try {
                startEngine();
            } catch (const std::exception& e) {
                if (!deferWhileSettling(e)) {
                    log_.append(std::string("audio: unmute failed — ") + e.what());
                    try {
                        fallbackToBuiltIn(currentDeviceUID_.value_or(""), std::current_exception());
                    } catch (...) {
                    }
                }
            }
            scheduleSilenceProbe(currentDeviceUID_);
        }
    } else {
        cancelProbe();
        settleRetry_.reset();
        if (engineStarted()) stopEngine();
    }
    postIfAlive([this, muted] {
        if (onMutedChange) onMutedChange(muted);
    });
}

// ------------------------------------------------------------ signal

void AudioCapture::evaluateSignalHealth() {
    if (!engineRunning()) {
        setHasSignal(false);
        return;
    }
    const AudioChunk snapshot = preRollSnapshot();
    if (snapshot.size() < probeMinimumBytes) return;
    setHasSignal(rmsInt16(snapshot) >= signalRMSThreshold);
}

void AudioCapture::setHasSignal(bool value) {
    if (value == hasSignal_) return;
    hasSignal_ = value;
    postIfAlive([this, value] {
        if (onSignalChange) onSignalChange(value);
    });
}

void AudioCapture::setAvailable(bool value) {
    if (value == isAvailable_) return;
    isAvailable_ = value;
    postIfAlive([this, value] {
        if (onAvailabilityChange) onAvailabilityChange(value);
    });
}

// ------------------------------------------------------------ device logic

void AudioCapture::setDeviceUID(const std::optional<std::string>& uid) {
    cancelProbe();
    settleRetry_.reset();
    inTotalFailure_ = false;
    std::optional<std::string> normalised;
    if (uid) {
        std::string t = trimmedUID(*uid);
        if (!t.empty()) normalised = std::move(t);
    }
    currentDeviceUID_ = normalised;
    if (isMuted_) {
        log_.append("audio: setDeviceUID while muted — saved uid=" + normalised.value_or("default") +
                    ", engine stays down");
        return;
    }
    wantRunning_ = true;
    if (engineStarted()) stopEngine();
    if (serverAway()) {
        log_.append("audio: setDeviceUID while the sound server is away — saved uid=" + normalised.value_or("default") +
                    ", the engine starts when it is back");
        return;
    }
    try {
        startEngine();
    } catch (const std::exception& e) {
        if (deferWhileSettling(e)) return;
        log_.append(std::string("audio: startEngine failed (") + e.what() + ") — falling back to built-in mic");
        fallbackToBuiltIn(normalised.value_or(""), std::current_exception());
    }
    scheduleSilenceProbe(currentDeviceUID_);
}

void AudioCapture::fallbackToBuiltIn(const std::string& failedUID, const std::exception_ptr& initialError) {
    if (serverAway()) {
        // Not the device's fault: the choice stays for the server's return.
        log_.append("audio: sound server went away — keeping the choice, no fallback");
        return;
    }
    const auto builtIn = devices_.builtInMicrophone();
    if (!builtIn) {
        currentDeviceUID_.reset();
        enterTotalFailure();
        std::rethrow_exception(initialError);
    }
    currentDeviceUID_ = builtIn->uid;
    if (engineStarted()) stopEngine();
    try {
        startEngine();
    } catch (...) {
        currentDeviceUID_.reset();
        enterTotalFailure();
        throw;
    }
    log_.append("audio: fell back to built-in mic '" + builtIn->name + "'");
    if (!failedUID.empty() && onSelectionFailedFallback) onSelectionFailedFallback(failedUID, builtIn->uid);
}

void AudioCapture::enterTotalFailure() {
    if (inTotalFailure_) return;
    inTotalFailure_ = true;
    if (onAllMicsFailed) onAllMicsFailed();
}

void AudioCapture::cancelProbe() {
    if (probeTask_ != 0) loop_.cancel(probeTask_);
    probeTask_ = 0;
}

void AudioCapture::scheduleSilenceProbe(const std::optional<std::string>& originalRequest) {
    // A new probe replaces the stored one without cancelling it; only a new
    // selection and muting cancel.
    std::weak_ptr<int> alive = alive_;
    auto id = std::make_shared<TimerId>(0);
    *id = loop_.after(seconds(probeDelaySeconds), [this, alive, id, originalRequest] {
        if (!alive.lock()) return;
        if (probeTask_ == *id) probeTask_ = 0;
        evaluateProbeResult(originalRequest);
    });
    probeTask_ = *id;
}

void AudioCapture::evaluateProbeResult(const std::optional<std::string>& originalRequest) {
    const AudioChunk snapshot = preRollSnapshot();
    if (snapshot.size() < probeMinimumBytes || serverAway()) return;
    const double rms = rmsInt16(snapshot);
    if (rms >= probeSilenceThreshold) {
        if (inTotalFailure_) {
            inTotalFailure_ = false;
            if (onMicsRecovered) onMicsRecovered();
        }
        return;
    }
    const std::string failed = currentDeviceUID_.value_or("");
    log_.append("audio: probe — '" + currentDeviceUID_.value_or("default") + "' silent (RMS=" + formatLevel(rms) +
                "), falling back to built-in mic");
    const auto builtIn = devices_.builtInMicrophone();
    if (!builtIn || (currentDeviceUID_ && builtIn->uid == *currentDeviceUID_)) {
        currentDeviceUID_.reset();
        if (engineStarted()) stopEngine();
        enterTotalFailure();
        return;
    }
    currentDeviceUID_ = builtIn->uid;
    if (engineStarted()) stopEngine();
    try {
        startEngine();
    } catch (const std::exception& e) {
        log_.append(std::string("audio: built-in mic also failed — ") + e.what());
        currentDeviceUID_.reset();
        enterTotalFailure();
        return;
    }
    if (!failed.empty() && onSelectionFailedFallback) onSelectionFailedFallback(failed, builtIn->uid);
    scheduleSilenceProbe(originalRequest);
}

bool AudioCapture::boundStillCurrent() const {
    if (!bound_ || !backend_.isRunning()) return false;
    const auto target = currentDeviceUID_ ? devices_.inputInfo(*currentDeviceUID_) : devices_.defaultInputInfo();
    return target && target->uid == bound_->uid && target->nominalSampleRate == bound_->nominalSampleRate &&
           target->inputChannels == bound_->inputChannels;
}

bool AudioCapture::deferWhileSettling(const std::exception& e) {
    const auto* error = dynamic_cast<const CaptureError*>(&e);
    if (error == nullptr || loop_.now() >= settleUntil_) return false;
    if (error->kind() != CaptureError::Kind::selectedDeviceMissing && error->kind() != CaptureError::Kind::noInputDevice) {
        return false;
    }
    if (!settleRetry_.active()) {
        log_.append(std::string("audio: ") + e.what() + " — the sound server has just come, waiting for its devices");
        std::weak_ptr<int> alive = alive_;
        settleRetry_.startOnce(loop_, settleUntil_ - loop_.now(), [this, alive] {
            if (!alive.lock()) return;
            settleRetry_.release();
            resumeAfterOutage();
        });
    }
    return true;
}

void AudioCapture::restartWithFallback() {
    const std::string requested = currentDeviceUID_.value_or("");
    if (engineStarted()) stopEngine();
    try {
        startEngine();
    } catch (const std::exception& e) {
        if (deferWhileSettling(e)) return;
        log_.append(std::string("audio: restart after config change failed (") + e.what() +
                    ") — falling back to built-in mic");
        try {
            fallbackToBuiltIn(requested, std::current_exception());
        } catch (...) {
        }
    }
    scheduleSilenceProbe(currentDeviceUID_);
}

void AudioCapture::handleConfigurationChange() {
    if (settleRetry_.active()) {
        // Waiting for the devices of a server that has just come: try as soon as ours is there.
        const bool there = currentDeviceUID_ ? devices_.inputInfo(*currentDeviceUID_).has_value()
                                             : devices_.defaultInputInfo().has_value();
        if (there) resumeAfterOutage();
        return;
    }
    if (selfTriggeredOpInFlight_) {
        log_.append("audio: config change ignored — self-triggered (engine op in flight)");
        return;
    }
    if (inTotalFailure_) {
        log_.append("audio: config change ignored — total failure state, re-select a mic to retry");
        return;
    }
    if (isMuted_) {
        log_.append("audio: config change ignored — muted");
        return;
    }
    if (serverAway() || !wantRunning_) return;
    if (boundStillCurrent()) {
        // Another device came or went: the pre-roll and a running dictation stay untouched.
        log_.append("audio: configuration change — still on '" + bound_->uid + "', no restart");
        return;
    }
    log_.append("audio: configuration change — restarting engine");
    restartWithFallback();
}

void AudioCapture::handleStreamEnded() {
    // Never ignored as self-triggered: nothing of ours ends a stream.
    if (isMuted_ || inTotalFailure_ || !isAvailable_ || serverAway()) return;
    log_.append("audio: capture stream ended — restarting engine");
    restartWithFallback();
}

void AudioCapture::handleAudioSystemLost() {
    cancelProbe();
    settleRetry_.reset();
    log_.append("audio: sound server away — keeping uid=" + currentDeviceUID_.value_or("default") +
                ", the engine starts again when it is back");
    if (engineStarted()) stopEngine();
}

void AudioCapture::handleAudioSystemAppeared() {
    settleUntil_ = loop_.now() + seconds(serverSettleSeconds);
    if (isMuted_) {
        log_.append("audio: sound server appeared — muted, engine stays down");
    } else if (wantRunning_ && !boundStillCurrent()) {
        log_.append("audio: sound server appeared — starting engine");
        resumeAfterOutage();
    }
    for (auto& fn : std::exchange(readyWaiters_, {})) fn();
}

void AudioCapture::resumeAfterOutage() {
    // The start the engine would have made, had the server been there.
    settleRetry_.reset();
    if (isMuted_ || !wantRunning_ || serverAway()) return;
    const std::string requested = currentDeviceUID_.value_or("");
    if (engineStarted()) stopEngine();
    try {
        startEngine();
    } catch (const std::exception& e) {
        if (deferWhileSettling(e)) return;
        log_.append(std::string("audio: start after sound server appeared failed (") + e.what() + ")");
        if (!inTotalFailure_) {
            try {
                fallbackToBuiltIn(requested, std::current_exception());
            } catch (...) {
            }
        }
    }
    // During a total failure the flag stays up until this probe hears the
    // microphone, which then reports the recovery.
    scheduleSilenceProbe(currentDeviceUID_);
}

void AudioCapture::whenAudioSystemReady(std::function<void()> fn) {
    if (!serverAway()) {
        fn();
    } else {
        readyWaiters_.push_back(std::move(fn));
    }
}

}  // namespace parlando
