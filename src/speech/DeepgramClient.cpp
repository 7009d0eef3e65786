#include "speech/DeepgramClient.h"

#include "speech/Endpoint.h"
#include "speech/ResultDecoder.h"

#include <nlohmann/json.hpp>

namespace parlando {

namespace {
constexpr std::chrono::milliseconds kHandshakeTimeout{15000};
}

const char* toString(DeepgramClient::State state) {
    switch (state) {
    case DeepgramClient::State::idle: return "idle";
    case DeepgramClient::State::connecting: return "connecting";
    case DeepgramClient::State::open: return "open";
    case DeepgramClient::State::closing: return "closing";
    case DeepgramClient::State::closed: return "closed";
    case DeepgramClient::State::failed: return "failed";
    }
    return "?";
}

std::shared_ptr<DeepgramClient> DeepgramClient::create(WebSocketFactory& sockets, Log& log, std::string apiKey,
                                                       std::string language, std::string model, int channels,
                                                       bool multichannel) {
    return std::shared_ptr<DeepgramClient>(new DeepgramClient(sockets, log, std::move(apiKey), std::move(language),
                                                              std::move(model), channels, multichannel));
}

DeepgramClient::DeepgramClient(WebSocketFactory& sockets, Log& log, std::string apiKey_, std::string language_,
                               std::string model_, int channels_, bool multichannel_)
    : apiKey(std::move(apiKey_)),
      language(std::move(language_)),
      model(std::move(model_)),
      channels(channels_),
      multichannel(multichannel_),
      sockets_(sockets),
      log_(log),
      endpoint_(deepgramBaseFromEnvironment()) {}

DeepgramClient::~DeepgramClient() {
    std::lock_guard guard(lock);
    teardownLocked(closeGoingAway);
}

std::string DeepgramClient::closeStreamMessage() { return nlohmann::json{{"type", "CloseStream"}}.dump(); }

void DeepgramClient::setEndpoint(std::string base) {
    std::lock_guard guard(lock);
    endpoint_ = std::move(base);
}

void DeepgramClient::connect() {
    std::string base;
    {
        std::unique_lock guard(lock);
        teardownLocked(closeGoingAway);
        base = endpoint_;
        const auto url = listenUrl(endpoint_, model, language, channels, multichannel);
        if (!url) {
            guard.unlock();
            const std::string description = DGError::decodeFailed("invalid url").errorDescription();
            log_.append("speech: cannot connect — " + description);
            if (onError) onError(description);
            return;
        }
        const std::uint64_t generation = ++generation_;
        const std::weak_ptr<DeepgramClient> weak = weak_from_this();
        WebSocketEvents events;
        events.onOpen = [weak, generation] {
            if (auto self = weak.lock()) self->handleOpen(generation);
        };
        events.onText = [weak, generation](std::string text) {
            if (auto self = weak.lock()) self->handleText(generation, text);
        };
        events.onBinary = [weak, generation](std::string bytes) {
            if (auto self = weak.lock()) self->handleBinary(generation, bytes);
        };
        events.onFailure = [weak, generation](std::string description) {
            if (auto self = weak.lock()) self->handleFailure(generation, description);
        };
        events.onSendFailed = [weak, generation](std::string description) {
            if (auto self = weak.lock()) self->handleSendFailed(generation, description);
        };
        events.onClose = [weak, generation](int code, std::string reason) {
            if (auto self = weak.lock()) self->handleClose(generation, code, reason);
        };
        task_ = sockets_.create(std::move(events));
        state_ = State::connecting;
        // Only queues work on the socket's thread; no event runs inline.
        task_->open(WebSocketRequest{*url, "Authorization", "Token " + apiKey, kHandshakeTimeout});
    }
    log_.append("speech: connecting to " + base + " (channels=" + std::to_string(channels) +
                (multichannel ? ", multichannel" : "") + ")");
}

void DeepgramClient::sendAudio(std::vector<std::uint8_t> data) {
    // An empty binary message would tell the service the stream is over.
    if (data.empty()) return;
    const auto size = static_cast<std::int64_t>(data.size());
    std::lock_guard guard(lock);
    switch (state_) {
    case State::connecting:
        if (!finishOnOpen_ && pendingBytes_ + size <= pendingCap) {
            pending_.push_back(std::move(data));
            pendingBytes_ += size;
        }
        return;
    case State::open:
        if (!task_) return;
        ++chunksSent_;
        bytesSent_ += size;
        task_->sendBinary(std::move(data));
        return;
    case State::idle:
    case State::closing:
    case State::closed:
    case State::failed:
        return;
    }
}

void DeepgramClient::finish() {
    std::lock_guard guard(lock);
    if (state_ == State::connecting && task_) {
        // The held audio goes first once the socket opens, then the close message.
        finishOnOpen_ = true;
        return;
    }
    if (state_ == State::open && task_) {
        state_ = State::closing;
        task_->sendText(closeStreamMessage());
    }
}

void DeepgramClient::disconnect() {
    std::lock_guard guard(lock);
    teardownLocked(closeGoingAway);
}

DeepgramClient::State DeepgramClient::state() const {
    std::lock_guard guard(lock);
    return state_;
}

std::int64_t DeepgramClient::chunksSent() const {
    std::lock_guard guard(lock);
    return chunksSent_;
}

std::int64_t DeepgramClient::bytesSent() const {
    std::lock_guard guard(lock);
    return bytesSent_;
}

void DeepgramClient::teardownLocked(int closeCode) {
    state_ = State::closed;
    ++generation_;  // whatever the old socket still reports is ignored
    if (task_) {
        task_->close(closeCode);
        task_.reset();
    }
    std::vector<std::vector<std::uint8_t>>().swap(pending_);
    pendingBytes_ = 0;
    finishOnOpen_ = false;
}

bool DeepgramClient::isCurrent(std::uint64_t generation) const { return task_ && generation == generation_; }

void DeepgramClient::handleOpen(std::uint64_t generation) {
    std::size_t flushed = 0;
    {
        std::lock_guard guard(lock);
        if (!isCurrent(generation) || state_ != State::connecting) return;
        state_ = State::open;
        if (!pending_.empty()) {
            flushed = pending_.size();
            chunksSent_ += static_cast<std::int64_t>(pending_.size());
            bytesSent_ += pendingBytes_;
            // Queued ahead of anything sendAudio hands over after this point.
            task_->sendBinaryBatch(std::exchange(pending_, {}));
            pendingBytes_ = 0;
        }
        if (finishOnOpen_) {
            state_ = State::closing;
            task_->sendText(closeStreamMessage());
        }
    }
    log_.append("speech: opened (" + std::to_string(flushed) + " held chunks sent)");
    if (onOpen) onOpen();
}

void DeepgramClient::handleText(std::uint64_t generation, const std::string& text) {
    {
        std::lock_guard guard(lock);
        if (!isCurrent(generation)) return;
        if (state_ != State::open && state_ != State::connecting && state_ != State::closing) return;
    }
    deliver(text);
}

void DeepgramClient::handleBinary(std::uint64_t generation, const std::string& bytes) {
    if (!isValidUtf8(bytes)) return;
    handleText(generation, bytes);
}

void DeepgramClient::deliver(const std::string& text) {
    auto transcript = decodeResultMessage(text);
    if (transcript && onTranscript) onTranscript(*transcript);
}

void DeepgramClient::handleFailure(std::uint64_t generation, const std::string& description) {
    {
        std::lock_guard guard(lock);
        if (!isCurrent(generation)) return;
        if (state_ != State::open && state_ != State::connecting) return;
        state_ = State::failed;
    }
    log_.append("speech: connection failed — " + description);
    if (onError) onError(description);
}

void DeepgramClient::handleSendFailed(std::uint64_t generation, const std::string& description) {
    {
        std::lock_guard guard(lock);
        if (!isCurrent(generation)) return;
    }
    if (onError) onError(description);
}

void DeepgramClient::handleClose(std::uint64_t generation, int code, const std::string& reasonBytes) {
    std::int64_t chunks = 0, bytes = 0;
    {
        std::lock_guard guard(lock);
        if (!isCurrent(generation)) return;
        state_ = State::closed;
        chunks = chunksSent_;
        bytes = bytesSent_;
    }
    const std::string reason = isValidUtf8(reasonBytes) ? reasonBytes : std::string();
    log_.append("speech: closed (code=" + std::to_string(code) + ", chunks=" + std::to_string(chunks) +
                ", bytes=" + std::to_string(bytes) + ")");
    if (onClose) onClose(code, reason);
}

}  // namespace parlando
