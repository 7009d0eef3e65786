#include "meeting/MeetingSession.h"

#include "meeting/MeetingText.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace parlando {

namespace {

constexpr Duration blockDuration = millis(20);
constexpr std::int64_t capBlocks = MeetingSession::queueCap / MeetingSession::monoChunkBytes;
// Both WAV headers are rewritten and the files flushed about once a second.
constexpr std::int64_t commitEveryBlocks = 50;
// The mixer stays this many blocks behind the clock, so that a chunk the
// sound server hands over a few milliseconds late still finds its place
// instead of leaving a gap of silence in the middle of a word.
constexpr std::int64_t jitterBlocks = 3;

// 2 s per side, plus the allowance, which holds audio the mixer does not owe yet.
void capQueue(std::vector<std::uint8_t>& q) {
    constexpr std::size_t cap = MeetingSession::queueCap + jitterBlocks * MeetingSession::monoChunkBytes;
    if (q.size() > cap) q.erase(q.begin(), q.end() - static_cast<std::ptrdiff_t>(cap));
}


// Moves up to `blocks` whole 640-byte blocks from the front of q into out
// (which holds room for all of them); blocks the queue cannot fill stay zero.
void pullBlocks(std::vector<std::uint8_t>& q, std::uint8_t* out, std::int64_t blocks) {
    const auto whole = std::min<std::int64_t>(blocks, static_cast<std::int64_t>(q.size() / MeetingSession::monoChunkBytes));
    const auto bytes = static_cast<std::size_t>(whole) * MeetingSession::monoChunkBytes;
    if (bytes > 0) {
        std::memcpy(out, q.data(), bytes);
        q.erase(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(bytes));
    }
    std::memset(out + bytes, 0, static_cast<std::size_t>(blocks) * MeetingSession::monoChunkBytes - bytes);
}

std::string reconnectDelayText(double delay) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", delay);
    return buf;
}

}  // namespace

// One meeting's files and recognition connection. Outlives stop() by its tail.
struct MeetingSession::Run {
    int generation = 0;
    std::unique_ptr<TextAppender> transcript;
    std::unique_ptr<WavWriter> micAudioFile;
    std::unique_ptr<WavWriter> systemAudioFile;
    std::shared_ptr<RecognitionClient> deepgram;
    std::uint64_t connection = 0;  // the current client's number; callbacks of older ones are told apart
    bool connectionClosed = false;
    ScopedTimer tailTask;
    // Mixer clock: blocks owed = time since origin / 20 ms.
    MonoTime mixerOrigin{0};
    std::int64_t blocksMixed = 0;
    std::int64_t blocksSinceCommit = 0;
    bool micWriteFailing = false;
    bool systemWriteFailing = false;
    bool transcriptWriteFailing = false;
    bool diskTroubleReported = false;
    std::vector<std::uint8_t> micBlocks, systemBlocks, stereo;  // scratch, reused every tick
};

MeetingSession::SessionError MeetingSession::SessionError::missingAPIKey(const std::string& keychainDescription) {
    return SessionError(Kind::missingAPIKey, "Deepgram API key unavailable: " + keychainDescription);
}
MeetingSession::SessionError MeetingSession::SessionError::fileCreate(const std::string& transcriptPath) {
    return SessionError(Kind::fileCreate, "Failed to create transcript file: " + transcriptPath);
}
MeetingSession::SessionError MeetingSession::SessionError::systemAudio(const std::string& detail) {
    return SessionError(Kind::systemAudio, "System audio capture failed: " + detail);
}
MeetingSession::SessionError MeetingSession::SessionError::alreadyRunning() {
    return SessionError(Kind::alreadyRunning, "Meeting already in progress");
}

std::shared_ptr<MeetingSession> MeetingSession::create(MeetingServices services) {
    return std::shared_ptr<MeetingSession>(new MeetingSession(std::move(services)));
}

MeetingSession::MeetingSession(MeetingServices services) : s_(std::move(services)), queues_(std::make_shared<Queues>()) {}

MeetingSession::~MeetingSession() {
    // Producers first: nothing may call into what goes away below.
    mixerTimer_.reset();
    reconnectTask_.reset();
    if (subscription_) s_.microphone.unsubscribe(*subscription_);
    if (systemCapture_) systemCapture_->stop();
    auto finishRun = [](Run& run) {
        run.tailTask.reset();
        if (run.deepgram) run.deepgram->disconnect();
        if (run.transcript) run.transcript->close();
        if (run.micAudioFile) run.micAudioFile->close();
        if (run.systemAudioFile) run.systemAudioFile->close();
    };
    if (run_) finishRun(*run_);
    for (auto& t : tails_) finishRun(*t);
}

double MeetingSession::elapsedSeconds() const {
    if (!isRunning_ || !startedAt_) return 0.0;
    return std::chrono::duration<double>(s_.loop.wallNow() - *startedAt_).count();
}

std::filesystem::path MeetingSession::makeMeetingFolder(WallTime now) {
    auto documents = XdgPaths::documentsDir(s_.env);
    if (!documents) throw std::runtime_error("Documents folder not found: HOME is not set");
    const auto root = *documents / recordingsFolderName;
    const std::string base = meeting_text::folderName(now);
    // A meeting started in the same minute as an earlier one gets its own folder.
    std::filesystem::path folder = root / base;
    for (int n = 2; s_.storage.exists(folder); ++n) folder = root / (base + "-" + std::to_string(n));
    if (auto error = s_.storage.createDirectories(folder)) throw std::runtime_error(*error);
    return folder;
}

void MeetingSession::start() {
    if (isRunning_) throw SessionError::alreadyRunning();

    APIKeyResult key = s_.keys.deepgramAPIKey();
    if (!key.key) throw SessionError::missingAPIKey(key.errorDescription);
    apiKey_ = *key.key;

    if (auto failure = s_.microphone.ensureRunning()) throw std::runtime_error(*failure);

    const WallTime now = s_.loop.wallNow();
    const auto folder = makeMeetingFolder(now);
    meetingFolderURL_ = folder;
    transcriptURL_ = folder / "transcript.md";
    micAudioURL_ = folder / "self.wav";
    systemAudioURL_ = folder / "others.wav";

    auto run = std::make_shared<Run>();
    std::string error;
    run->transcript =
        s_.storage.createText(*transcriptURL_, meeting_text::header(folder.filename().string()), &error);
    if (!run->transcript) throw SessionError::fileCreate(transcriptURL_->string());

    run->micAudioFile = s_.storage.createWav(*micAudioURL_, now, &error);
    if (!run->micAudioFile)
        s_.log.append("meeting: self.wav open failed — " + error + ". Continuing without self-side backup.");
    run->systemAudioFile = s_.storage.createWav(*systemAudioURL_, now, &error);
    if (!run->systemAudioFile)
        s_.log.append("meeting: others.wav open failed — " + error + ". Continuing without others-side backup.");

    startedAt_ = now;
    stoppingDeliberately_ = false;
    reconnectAttempt_ = 0;
    run->generation = ++sessionGeneration_;
    run_ = run;

    {
        std::lock_guard lock(queues_->mixerLock);
        queues_->micQueue.clear();
        queues_->systemQueue.clear();
        queues_->generation = sessionGeneration_;
    }
    attachMicrophone();
    connectDeepgram();
    startMixer();
    startSystemAudio({});

    isRunning_ = true;
    s_.log.append("meeting: started -> " + folder.string());
    if (onStateChange) onStateChange(true);
}

void MeetingSession::attachMicrophone() {
    if (subscription_) s_.microphone.unsubscribe(*subscription_);
    // Holds only the queues: a delivery still under way after unsubscribe()
    // lands in no later meeting.
    subscription_ = s_.microphone.subscribe(
        [queues = queues_, generation = sessionGeneration_](const AudioBytes& chunk) {
            std::lock_guard lock(queues->mixerLock);
            if (queues->generation != generation) return;
            queues->micQueue.insert(queues->micQueue.end(), chunk.begin(), chunk.end());
        });
}

void MeetingSession::connectDeepgram() {
    auto run = run_;
    const std::uint64_t connection = ++nextConnection_;
    std::weak_ptr<MeetingSession> weakSelf = weak_from_this();
    std::weak_ptr<Run> weakRun = run;
    MainLoop* loop = &s_.loop;
    // Every report hops to the main loop and finds its session and meeting
    // only if they still exist.
    auto onMain = [weakSelf, weakRun, loop](auto fn) {
        loop->post([weakSelf, weakRun, fn = std::move(fn)]() {
            auto self = weakSelf.lock();
            auto r = weakRun.lock();
            if (self && r) fn(*self, r);
        });
    };
    RecognitionCallbacks callbacks;
    callbacks.onOpen = [onMain, connection]() {
        onMain([connection](MeetingSession& self, const std::shared_ptr<Run>& r) {
            if (r == self.run_ && r->connection == connection) self.reconnectAttempt_ = 0;
            self.s_.log.append("meeting: deepgram WS opened");
        });
    };
    callbacks.onTranscript = [onMain](const std::string& text, bool isFinal, std::optional<int> channel) {
        onMain([text, isFinal, channel](MeetingSession& self, const std::shared_ptr<Run>& r) {
            self.handleTranscript(r, text, isFinal, channel);
        });
    };
    callbacks.onError = [onMain](const RecognitionError& error) {
        onMain([description = error.description](MeetingSession& self, const std::shared_ptr<Run>&) {
            self.s_.log.append("meeting: deepgram error — " + description);
        });
    };
    callbacks.onClose = [onMain, connection](int code, const std::string&) {
        onMain([connection, code](MeetingSession& self, const std::shared_ptr<Run>& r) {
            self.handleClose(r, connection, code);
        });
    };
    auto client = s_.recognition.makeMeetingClient(apiKey_, std::move(callbacks));
    run->connection = connection;
    run->connectionClosed = false;
    run->deepgram = client;
    client->connect();
}

void MeetingSession::handleClose(const std::shared_ptr<Run>& run, std::uint64_t connection, int code) {
    s_.log.append("meeting: deepgram WS closed (code=" + std::to_string(code) + ")");
    // Only the close of a meeting's current connection counts, and only once:
    // a lost connection reports an error and then its close, and a replaced
    // client's late close must not start a second reconnect.
    if (run->connection != connection || run->connectionClosed) return;
    run->connectionClosed = true;
    if (run != run_) {
        // A stopped meeting's connection has delivered its last results.
        endTail(run);
        return;
    }
    if (isRunning_ && !stoppingDeliberately_) scheduleReconnect();
}

void MeetingSession::scheduleReconnect() {
    ++reconnectAttempt_;
    const double delay = std::min(reconnectAttempt_ * 2.0, maxReconnectDelay);
    s_.log.append("meeting: reconnecting in " + reconnectDelayText(delay) + "s (attempt " +
                  std::to_string(reconnectAttempt_) + ")");
    std::weak_ptr<MeetingSession> weakSelf = weak_from_this();
    reconnectTask_.startOnce(s_.loop, seconds(delay), [weakSelf]() {
        auto self = weakSelf.lock();
        if (!self) return;
        self->reconnectTask_.release();
        if (!self->isRunning_ || self->stoppingDeliberately_ || !self->run_) return;
        if (self->run_->deepgram) self->run_->deepgram->disconnect();
        self->run_->deepgram.reset();
        self->connectDeepgram();
    });
}

void MeetingSession::handleTranscript(const std::shared_ptr<Run>& run, const std::string& text, bool isFinal,
                                      std::optional<int> channel) {
    if (!isFinal) return;
    const std::string t = meeting_text::trimmed(text);
    if (t.empty()) return;
    appendLine(*run, meeting_text::line(meeting_text::clockTime(s_.loop.wallNow()),
                                        meeting_text::speakerLabel(channel), t));
}

void MeetingSession::appendLine(Run& run, const std::string& line) {
    if (run.transcript) {
        if (auto error = run.transcript->append(line + "\n")) {
            if (!run.transcriptWriteFailing) s_.log.append("meeting: write failed — " + *error);
            run.transcriptWriteFailing = true;
            reportDiskTrouble(run, *error);
        } else {
            run.transcriptWriteFailing = false;
        }
    }
    // A meeting that has been followed by a newer one keeps its late lines to
    // its own file: the panel shows the newer meeting.
    if (run.generation == sessionGeneration_ && onTranscriptLine) onTranscriptLine(line);
}

void MeetingSession::reportDiskTrouble(Run& run, const std::string& description) {
    if (run.diskTroubleReported || run.generation != sessionGeneration_) return;
    run.diskTroubleReported = true;
    if (onError)
        onError("Meeting files cannot be written: " + description +
                ". The meeting goes on; the transcript stays in the panel.");
}

void MeetingSession::startMixer() {
    run_->mixerOrigin = s_.loop.now();
    run_->blocksMixed = 0;
    std::weak_ptr<MeetingSession> weakSelf = weak_from_this();
    mixerTimer_.startRepeating(s_.loop, blockDuration, [weakSelf]() {
        if (auto self = weakSelf.lock()) self->mixerTick();
    });
}

void MeetingSession::mixerTick() { mixUpTo(jitterBlocks); }

void MeetingSession::mixUpTo(std::int64_t blocksBehind) {
    if (!run_ || !run_->deepgram) return;
    Run& run = *run_;
    // Every block owed since the start is mixed, so a late tick catches up;
    // the clock stands still while the machine sleeps.
    const std::int64_t due = (s_.loop.now() - run.mixerOrigin) / blockDuration - blocksBehind;
    std::int64_t owed = due - run.blocksMixed;
    if (owed <= 0) return;
    if (owed > capBlocks) {
        // The main thread stood still for longer than the queues hold: what
        // was dropped becomes silence, so the recordings keep to the clock.
        const std::int64_t silent = owed - capBlocks;
        s_.log.append("meeting: mixer stalled for " + std::to_string(owed * 20) + " ms — " +
                      std::to_string(silent * 20) + " ms of audio lost, written as silence");
        run.micBlocks.assign(monoChunkBytes, 0);
        run.systemBlocks.assign(monoChunkBytes, 0);
        for (std::int64_t i = 0; i < silent; ++i) mixBlock(run, 0);
        owed = capBlocks;
    }
    const auto bytes = static_cast<std::size_t>(owed) * monoChunkBytes;
    run.micBlocks.resize(bytes);
    run.systemBlocks.resize(bytes);
    {
        std::lock_guard lock(queues_->mixerLock);
        capQueue(queues_->micQueue);
        capQueue(queues_->systemQueue);
        pullBlocks(queues_->micQueue, run.micBlocks.data(), owed);
        pullBlocks(queues_->systemQueue, run.systemBlocks.data(), owed);
    }
    for (std::int64_t i = 0; i < owed; ++i) mixBlock(run, static_cast<std::size_t>(i) * monoChunkBytes);
}

void MeetingSession::mixBlock(Run& run, std::size_t offset) {
    const auto* mic = reinterpret_cast<const std::int16_t*>(run.micBlocks.data() + offset);
    const auto* sys = reinterpret_cast<const std::int16_t*>(run.systemBlocks.data() + offset);
    auto writeSide = [&](WavWriter* file, const std::int16_t* frames, bool& failing) {
        if (!file) return;
        if (auto error = file->write(frames, chunkFrames)) {
            if (!failing) s_.log.append("meeting: audio write failed — " + *error);
            failing = true;
            reportDiskTrouble(run, *error);
        } else {
            failing = false;
        }
    };
    writeSide(run.micAudioFile.get(), mic, run.micWriteFailing);
    writeSide(run.systemAudioFile.get(), sys, run.systemWriteFailing);

    run.stereo.resize(2 * monoChunkBytes);
    auto* out = reinterpret_cast<std::int16_t*>(run.stereo.data());
    for (int i = 0; i < chunkFrames; ++i) {
        out[2 * i] = mic[i];
        out[2 * i + 1] = sys[i];
    }
    run.deepgram->sendAudio(run.stereo);
    ++run.blocksMixed;
    if (++run.blocksSinceCommit >= commitEveryBlocks) commitRecordings(run);
}

void MeetingSession::commitRecordings(Run& run) {
    run.blocksSinceCommit = 0;
    for (auto* file : {run.micAudioFile.get(), run.systemAudioFile.get()}) {
        if (!file) continue;
        if (auto error = file->commit()) {
            bool& failing = file == run.micAudioFile.get() ? run.micWriteFailing : run.systemWriteFailing;
            if (!failing) s_.log.append("meeting: audio write failed — " + *error);
            failing = true;
            reportDiskTrouble(run, *error);
        }
    }
}

void MeetingSession::startSystemAudio(std::function<void(const std::optional<std::string>&)> completion) {
    auto capture = s_.systemAudio.make();
    capture->onAudioChunk = [queues = queues_, generation = sessionGeneration_](const AudioChunk& chunk) {
        std::lock_guard lock(queues->mixerLock);
        if (queues->generation != generation) return;
        queues->systemQueue.insert(queues->systemQueue.end(), chunk.begin(), chunk.end());
    };
    std::weak_ptr<MeetingSession> weakSelf = weak_from_this();
    std::weak_ptr<SystemAudioCapture> weakCapture = capture;
    capture->onError = [weakSelf, weakCapture](const std::string& description) {
        auto self = weakSelf.lock();
        if (!self || self->systemCapture_ == nullptr || self->systemCapture_ != weakCapture.lock()) return;
        self->s_.log.append("meeting: system audio error — " + description);
        if (self->onError) self->onError(SessionError::systemAudio(description).description());
    };
    systemCapture_ = capture;
    systemStartCompletion_ = std::move(completion);
    capture->start([weakSelf, weakCapture](const std::optional<SystemAudioError>& error) {
        auto self = weakSelf.lock();
        auto c = weakCapture.lock();
        // A capture stopped before its start finished no longer belongs to the meeting.
        if (!self || !c || self->systemCapture_ != c) return;
        auto done = std::move(self->systemStartCompletion_);
        self->systemStartCompletion_ = nullptr;
        if (!error) {
            self->s_.log.append("meeting: system audio capture started");
            self->setSystemAudioPipeline(true);
            if (done) done(std::nullopt);
        } else {
            self->s_.log.append("meeting: system audio failed to start — " + error->description() +
                                ". Continuing mic-only.");
            self->setSystemAudioPipeline(false);
            if (done) done(error->description());
        }
    });
}

void MeetingSession::stopSystemAudio() {
    // A restart still waiting for its start hears that it will not come.
    if (auto done = std::move(systemStartCompletion_)) {
        systemStartCompletion_ = nullptr;
        done(std::string("the capture was stopped before it started"));
    }
    if (systemCapture_) {
        auto capture = std::move(systemCapture_);
        systemCapture_.reset();
        // The stop's completion holds the capture until it is done.
        ++*capturesStopping_;
        capture->stop([capture, stopping = capturesStopping_]() { --*stopping; });
        setSystemAudioPipeline(false);
    }
}

void MeetingSession::setSystemAudioPipeline(bool up) {
    if (up == systemAudioPipelineUp_) return;
    systemAudioPipelineUp_ = up;
    if (onSystemAudioStateChange) onSystemAudioStateChange(up);
}

void MeetingSession::restartSystemAudio(std::function<void(const std::optional<std::string>&)> completion) {
    if (!isRunning_) {
        if (completion) completion(std::string("no meeting in progress"));
        return;
    }
    s_.log.append("meeting: restarting system audio capture");
    stopSystemAudio();
    startSystemAudio(std::move(completion));
}

void MeetingSession::stop() {
    if (!isRunning_) return;
    stoppingDeliberately_ = true;
    reconnectTask_.reset();
    // The blocks owed up to now still go in: the recordings end where the meeting did.
    mixUpTo(0);
    mixerTimer_.reset();
    if (subscription_) {
        s_.microphone.unsubscribe(*subscription_);
        subscription_.reset();
    }
    stopSystemAudio();
    auto run = std::move(run_);
    run_.reset();
    if (run->deepgram) run->deepgram->finish();
    isRunning_ = false;
    if (onStateChange) onStateChange(false);
    s_.log.append("meeting: stopped (flushing tail)");

    // The tail: the last results still arrive for 1.5 s (or until the service
    // closes the connection), then this meeting's connection and files end.
    tails_.push_back(run);
    std::weak_ptr<MeetingSession> weakSelf = weak_from_this();
    std::weak_ptr<Run> weakRun = run;
    run->tailTask.startOnce(s_.loop, seconds(tailSeconds), [weakSelf, weakRun]() {
        auto self = weakSelf.lock();
        auto r = weakRun.lock();
        if (!self || !r) return;
        r->tailTask.release();
        self->endTail(r);
    });
}

void MeetingSession::endTail(const std::shared_ptr<Run>& tail) {
    const std::shared_ptr<Run> run = tail;  // `tail` may be the element erased below
    auto it = std::find(tails_.begin(), tails_.end(), run);
    if (it == tails_.end()) return;
    tails_.erase(it);
    run->tailTask.reset();
    if (run->deepgram) run->deepgram->disconnect();
    if (run->transcript) run->transcript->close();
    run->transcript.reset();
    if (run->micAudioFile) run->micAudioFile->close();
    if (run->systemAudioFile) run->systemAudioFile->close();
    run->micAudioFile.reset();
    run->systemAudioFile.reset();
    s_.log.append("meeting: tail flushed, files closed");
}

void MeetingSession::shutdown() {
    stop();
    while (!tails_.empty()) endTail(tails_.front());
}

}  // namespace parlando
