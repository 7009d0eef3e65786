#pragma once
// A hand-driven WebSocket for the recognition client: records what the client
// asked for and lets the test play the network's events.
#include "speech/WebSocket.h"

#include <memory>
#include <mutex>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

namespace parlando::testing {

struct FakeWireMessage {
    bool binary = false;
    std::string bytes;
};

// What one socket was told; outlives the socket (the client drops it on teardown).
class FakeSocketRecord {
public:
    std::optional<WebSocketRequest> request() const { return locked(request_); }
    std::vector<FakeWireMessage> sent() const { return locked(sent_); }  // in hand-over order
    std::optional<int> closeCode() const { return locked(closeCode_); }
    std::size_t batches() const { return locked(batches_); }

    // Play the network's side (call with no client lock held, like the real one).
    void open() const {
        if (events_.onOpen) events_.onOpen();
    }
    void text(const std::string& t) const {
        if (events_.onText) events_.onText(t);
    }
    void fail(const std::string& d) const {
        if (events_.onFailure) events_.onFailure(d);
    }
    void closed(int code, const std::string& reason) const {
        if (events_.onClose) events_.onClose(code, reason);
    }

private:
    friend class FakeWebSocket;
    friend class FakeWebSocketFactory;
    template <class T>
    T locked(const T& v) const {
        std::lock_guard g(mutex_);
        return v;
    }
    WebSocketEvents events_;  // set once at creation
    mutable std::mutex mutex_;
    std::optional<WebSocketRequest> request_;
    std::vector<FakeWireMessage> sent_;
    std::optional<int> closeCode_;
    std::size_t batches_ = 0;
};

class FakeWebSocket final : public WebSocket {
public:
    explicit FakeWebSocket(std::shared_ptr<FakeSocketRecord> record) : r_(std::move(record)) {}
    void open(const WebSocketRequest& request) override {
        std::lock_guard g(r_->mutex_);
        r_->request_ = request;
    }
    void sendBinary(std::vector<std::uint8_t> data) override { send(true, std::string(data.begin(), data.end())); }
    void sendBinaryBatch(std::vector<std::vector<std::uint8_t>> chunks) override {
        std::lock_guard g(r_->mutex_);
        ++r_->batches_;
        for (auto& c : chunks) r_->sent_.push_back({true, std::string(c.begin(), c.end())});
    }
    void sendText(std::string text) override { send(false, std::move(text)); }
    void close(int code) override {
        std::lock_guard g(r_->mutex_);
        if (!r_->closeCode_) r_->closeCode_ = code;
    }

private:
    void send(bool binary, std::string bytes) {
        std::lock_guard g(r_->mutex_);
        r_->sent_.push_back({binary, std::move(bytes)});
    }
    std::shared_ptr<FakeSocketRecord> r_;
};

class FakeWebSocketFactory final : public WebSocketFactory {
public:
    std::unique_ptr<WebSocket> create(WebSocketEvents events) override {
        auto record = std::make_shared<FakeSocketRecord>();
        record->events_ = std::move(events);
        std::lock_guard g(mutex_);
        sockets_.push_back(record);
        return std::make_unique<FakeWebSocket>(record);
    }
    std::size_t created() const {
        std::lock_guard g(mutex_);
        return sockets_.size();
    }
    std::shared_ptr<FakeSocketRecord> last() const {
        std::lock_guard g(mutex_);
        // A test that asks before any socket exists is wrong, not a null to follow.
        if (sockets_.empty()) throw std::logic_error("no socket was created yet");
        return sockets_.back();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeSocketRecord>> sockets_;
};

}  // namespace parlando::testing
