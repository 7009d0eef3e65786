#include "dictation/LocalCaptureSession.h"

#include "dictation/DictationText.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

namespace parlando {

namespace {

// Root-mean-square of a buffer read as native 16-bit signed samples, in raw
// sample units (full scale 32767). A trailing odd byte is ignored.
double rmsInt16(const AudioBytes& data) {
    const std::size_t samples = data.size() / 2;
    if (samples == 0) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < samples; ++i) {
        std::int16_t v;
        std::memcpy(&v, data.data() + 2 * i, sizeof v);
        sum += static_cast<double>(v) * static_cast<double>(v);
    }
    return std::sqrt(sum / static_cast<double>(samples));
}

constexpr int kSampleRate = 16000;
constexpr int kBytesPerFrame = 2;

const char* boolText(bool b) { return b ? "true" : "false"; }

}  // namespace

SessionError SessionError::missingAPIKey(const std::string& storeDescription) {
    return SessionError(Kind::missingAPIKey, "Deepgram API key unavailable: " + storeDescription);
}

SessionError SessionError::silentMic(double rms) {
    return SessionError(Kind::silentMic,
                        "Mic produces silence (RMS=" + dictation_text::oneDecimal(rms) +
                            ") — check transmitter / mute / battery",
                        rms);
}

SessionError SessionError::alreadyRunning() {
    return SessionError(Kind::alreadyRunning, "Capture session already running");
}

bool isNotConnectedError(const RecognitionError& error) {
    if (error.posixCode == ENOTCONN) return true;
    // The same error seen only through its text: the BSD wording and the Linux one.
    return error.description.find("Socket is not connected") != std::string::npos ||
           error.description.find("Transport endpoint is not connected") != std::string::npos;
}

std::shared_ptr<LocalCaptureSession> LocalCaptureSession::create(SessionServices services) {
    return std::shared_ptr<LocalCaptureSession>(new LocalCaptureSession(services));
}

LocalCaptureSession::LocalCaptureSession(SessionServices services) : s_(services) {}

LocalCaptureSession::~LocalCaptureSession() {
    // Only reached without a drain when the owner gave up on a running
    // dictation (the application going away): leave nothing streaming behind.
    if (audioSubscription_) s_.microphone.unsubscribe(*audioSubscription_);
    if (deepgram_) deepgram_->disconnect();
}

void LocalCaptureSession::start() {
    if (running_ || used_) throw SessionError::alreadyRunning();

    APIKeyResult key = s_.keys.deepgramAPIKey();
    if (!key.key) throw SessionError::missingAPIKey(key.errorDescription);

    if (auto failure = s_.microphone.ensureRunning()) throw MicrophoneError(*failure);

    validateAudio();

    used_ = true;
    finalSegments_.clear();
    lastInterim_.clear();
    deepgramClosed_ = false;
    deepgramOpened_ = false;
    transcriptsReceived_ = 0;
    sessionStartedAt_ = s_.loop.now();
    lastTranscriptAt_.reset();
    isStalled_ = false;

    // The client reports on its own threads; every report hops to the main
    // loop and finds the session only if it still exists.
    std::weak_ptr<LocalCaptureSession> weakSelf = weak_from_this();
    MainLoop* loop = &s_.loop;
    Log* log = &s_.log;
    RecognitionCallbacks callbacks;
    callbacks.onOpen = [weakSelf, loop, log]() {
        loop->post([weakSelf, log]() {
            auto self = weakSelf.lock();
            if (self) self->deepgramOpened_ = true;
            log->append("local: deepgram WS opened");
            if (self) self->handleOpen();
        });
    };
    callbacks.onClose = [weakSelf, loop, log](int code, const std::string&) {
        loop->post([weakSelf, log, code]() {
            auto self = weakSelf.lock();
            if (self) self->deepgramClosed_ = true;
            log->append("local: deepgram WS closed (code=" + std::to_string(code) + ")");
            if (self) self->handleClose(code);
        });
    };
    callbacks.onTranscript = [weakSelf, loop](const std::string& text, bool isFinal, std::optional<int>) {
        loop->post([weakSelf, text, isFinal]() {
            if (auto self = weakSelf.lock()) self->handleTranscript(text, isFinal);
        });
    };
    callbacks.onError = [weakSelf, loop](const RecognitionError& error) {
        loop->post([weakSelf, error]() {
            if (auto self = weakSelf.lock()) self->handleError(error);
        });
    };
    auto client = s_.recognition.makeClient(*key.key, std::move(callbacks));
    client->connect();
    deepgram_ = client;

    attachAudio();

    watchdog_.startRepeating(s_.loop, seconds(1.0), [weakSelf]() {
        if (auto self = weakSelf.lock()) self->healthCheck();
    });

    running_ = true;
    s_.lamp.set(DictationLamp::Phase::recording);
}

AudioBytes LocalCaptureSession::validateAudio() {
    AudioBytes preRoll = s_.microphone.preRollSnapshot();
    const auto expected = static_cast<long long>(s_.microphone.preRollSeconds() * kSampleRate * kBytesPerFrame);
    const auto judged = static_cast<long long>(static_cast<double>(expected) * 0.8);
    if (static_cast<long long>(preRoll.size()) >= judged) {
        const double rms = rmsInt16(preRoll);
        if (rms < silentMicRMS) {
            s_.log.append("local: mic silent — pre-roll RMS=" + dictation_text::oneDecimal(rms) + " over " +
                          std::to_string(preRoll.size()) + " bytes — failing fast");
            throw SessionError::silentMic(rms);
        }
    }
    // A pre-roll still filling (the engine has just started) is not judged.
    return preRoll;
}

void LocalCaptureSession::attachAudio() {
    // The pre-roll is taken again together with the subscription, so that no
    // chunk converted since the silence check is lost between the two. Live
    // chunks that arrive before the pre-roll is on its way wait behind it.
    struct Gate {
        std::mutex mutex;
        bool open = false;
        std::vector<AudioBytes> held;
    };
    auto gate = std::make_shared<Gate>();
    // Holding the client weakly: once the drain lets it go, late chunks are dropped.
    std::weak_ptr<RecognitionClient> weakClient = deepgram_;
    AudioBytes preRoll;
    audioSubscription_ = s_.microphone.subscribeWithPreRoll(
        [weakClient, gate](const AudioBytes& chunk) {
            std::lock_guard lock(gate->mutex);
            if (!gate->open) {
                gate->held.push_back(chunk);
                return;
            }
            // From here every chunk goes from the audio thread straight to the client.
            if (auto client = weakClient.lock()) client->sendAudio(chunk);
        },
        preRoll);
    std::lock_guard lock(gate->mutex);
    if (!preRoll.empty()) {
        deepgram_->sendAudio(preRoll);
        s_.log.append("local: pre-roll " + std::to_string(preRoll.size()) + " bytes flushed");
    }
    for (const auto& chunk : gate->held) deepgram_->sendAudio(chunk);
    gate->held.clear();
    gate->open = true;
}

void LocalCaptureSession::healthCheck() {
    if (!running_ || !sessionStartedAt_) return;
    const MonoTime now = s_.loop.now();
    const double elapsed = toSeconds(now - *sessionStartedAt_);
    bool stalled = false;
    if (elapsed > stallGracePeriod) {
        if (transcriptsReceived_ == 0) {
            stalled = true;
        } else if (lastTranscriptAt_ && toSeconds(now - *lastTranscriptAt_) > stallTimeout) {
            stalled = true;
        }
    }
    if (stalled != isStalled_) {
        isStalled_ = stalled;
        s_.log.append(std::string("local: watchdog -> ") + (stalled ? "STALLED" : "ok") + " (elapsed=" +
                      dictation_text::oneDecimal(elapsed) + "s, transcripts=" + std::to_string(transcriptsReceived_) +
                      ")");
        if (onStallChange) onStallChange(stalled);
    }
}

void LocalCaptureSession::handleOpen() {
    // A late open: the held audio and the close message are on their way now.
    if (!openWaiting_) return;
    openWaiting_ = false;
    auto self = shared_from_this();
    flushDeadline_.reset();
    startFlushWait();
}

void LocalCaptureSession::handleClose(int) {
    // The drain may be waiting for exactly this.
    if (openWaiting_) openWaitEnded();
    if (flushWaiting_) flushWaitEnded();
}

void LocalCaptureSession::handleTranscript(const std::string& text, bool isFinal) {
    ++transcriptsReceived_;
    lastTranscriptAt_ = s_.loop.now();
    if (isFinal) {
        std::string t = dictation_text::trimmed(text);
        if (!t.empty()) finalSegments_.push_back(std::move(t));
        lastInterim_.clear();
    } else {
        lastInterim_ = text;
    }
    if (onTranscript) onTranscript(text, isFinal);
    if (!text.empty() && isStalled_) {
        isStalled_ = false;
        if (onStallChange) onStallChange(false);
    }
}

void LocalCaptureSession::handleError(const RecognitionError& error) {
    // The socket going away after the stop is expected, not news.
    if (isNotConnectedError(error) && !running_) return;
    if (onError) onError(error);
    // A connection that failed will not open: stop waiting for it.
    if (openWaiting_) openWaitEnded();
}

void LocalCaptureSession::stop() {
    if (!running_) return;
    running_ = false;
    s_.lamp.set(DictationLamp::Phase::processing);
    watchdog_.reset();
    if (isStalled_) {
        if (onStallChange) onStallChange(false);
        isStalled_ = false;
    }
    const AudioBytes level = s_.microphone.preRollSnapshot();
    s_.log.append("local: audio level RMS=" + dictation_text::oneDecimal(rmsInt16(level)) + " over last " +
                  std::to_string(level.size()) + " bytes");
    // The drain holds the session until the paste is done; nobody else needs to.
    auto self = shared_from_this();
    s_.loop.post([self]() { self->drain(); });
}

void LocalCaptureSession::abandon() {
    // The timers cancelled below may hold the last reference.
    auto self = shared_from_this();
    running_ = false;
    flushWaiting_ = false;
    openWaiting_ = false;
    finished_ = true;
    watchdog_.reset();
    postRoll_.reset();
    flushDeadline_.reset();
    if (audioSubscription_) {
        s_.microphone.unsubscribe(*audioSubscription_);
        audioSubscription_.reset();
    }
    if (deepgram_) {
        deepgram_->disconnect();
        deepgram_.reset();
    }
}

void LocalCaptureSession::drain() {
    if (finished_) return;
    const auto chunks = deepgram_ ? deepgram_->chunksSent() : 0;
    const auto bytes = deepgram_ ? deepgram_->bytesSent() : 0;
    s_.log.append(std::string("local: stop — opened=") + boolText(deepgramOpened_) + ", chunks=" +
                  std::to_string(chunks) + ", bytes=" + std::to_string(bytes) +
                  ", transcripts=" + std::to_string(transcriptsReceived_));
    // Post-roll: the subscription stays, live audio keeps flowing to the client.
    auto self = shared_from_this();
    postRoll_.startOnce(s_.loop, seconds(postRollSeconds), [self]() {
        self->postRoll_.release();
        self->afterPostRoll();
    });
}

void LocalCaptureSession::afterPostRoll() {
    if (audioSubscription_) {
        s_.microphone.unsubscribe(*audioSubscription_);
        audioSubscription_.reset();
    }
    // Before the open the client holds the audio and sends the close message after it.
    if (deepgram_) deepgram_->finish();
    if (!deepgramOpened_ && !deepgramClosed_ && deepgram_) {
        s_.log.append("local: deepgram WS not open yet — waiting up to " +
                      dictation_text::oneDecimal(deepgramOpenDeadline) + " s for it");
        openWaiting_ = true;
        auto self = shared_from_this();
        flushDeadline_.startOnce(s_.loop, seconds(deepgramOpenDeadline), [self]() {
            self->flushDeadline_.release();
            self->openWaitEnded();
        });
        return;
    }
    if (!deepgramOpened_) {
        s_.log.append("local: deepgram WS never opened — skipping flush wait");
        finishDrain();
        return;
    }
    startFlushWait();
}

void LocalCaptureSession::openWaitEnded() {
    if (!openWaiting_) return;
    openWaiting_ = false;
    auto self = shared_from_this();
    flushDeadline_.reset();
    s_.log.append("local: deepgram WS never opened — skipping flush wait");
    finishDrain();
}

void LocalCaptureSession::startFlushWait() {
    if (deepgramClosed_) {
        finishDrain();
        return;
    }
    // Wait for the socket's close, which brings the last results, but not for ever.
    flushWaiting_ = true;
    auto self = shared_from_this();
    flushDeadline_.startOnce(s_.loop, seconds(deepgramFlushDeadline), [self]() {
        self->flushDeadline_.release();
        self->flushWaitEnded();
    });
}

void LocalCaptureSession::flushWaitEnded() {
    if (!flushWaiting_) return;
    flushWaiting_ = false;
    // Keep the session alive past the cancel below: the timer may hold the last reference.
    auto self = shared_from_this();
    flushDeadline_.reset();
    if (!deepgramClosed_) {
        s_.log.append("local: deepgram close timeout — pasting what we have (chunks=" +
                      std::to_string(deepgram_ ? deepgram_->chunksSent() : 0) +
                      ", transcripts=" + std::to_string(transcriptsReceived_) + ")");
    }
    finishDrain();
}

void LocalCaptureSession::finishDrain() {
    if (deepgram_) {
        deepgram_->disconnect();
        deepgram_.reset();
    }
    std::string joined;
    for (const auto& segment : finalSegments_) {
        if (!joined.empty()) joined += ' ';
        joined += segment;
    }
    // An interim result counts only when no final arrived at all.
    const std::string text = dictation_text::trimmed(joined.empty() ? lastInterim_ : joined);
    s_.log.append("local: pasting " + std::to_string(dictation_text::characterCount(text)) +
                  " chars (finals=" + std::to_string(finalSegments_.size()) +
                  ", lastInterim=" + std::to_string(dictation_text::characterCount(lastInterim_)) + " chars)");
    finished_ = true;
    if (onFinish) onFinish(text);
    if (!text.empty()) {
        if (pasteShortcut)
            s_.paste.paste(text);
        else
            s_.paste.copy(text);
    }
    s_.lamp.setIdleReflectingMic();
}

}  // namespace parlando
