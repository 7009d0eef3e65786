#pragma once
// A hand-driven WebSocket for the recognition client: records what the client
// asked for and lets the test play the network's events.
#include "speech/WebSocket.h"

#include <memory>
#include <mutex>
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
    std::optional<WebSocketRequest> request() const;
    std::vector<FakeWireMessage> sent() const;  // in hand-over order
    std::optional<int> closeCode() const;
    std::size_t batches() const;

    // Play the network's side (call with no client lock held, like the real one).
    void open() const;
    void text(const std::string& t) const;
    void fail(const std::string& description) const;
    void closed(int code, const std::string& reasonBytes) const;

private:
    friend class FakeWebSocket;
    friend class FakeWebSocketFactory;
    WebSocketEvents events_;  // set once at creation
    mutable std::mutex mutex_;
    std::optional<WebSocketRequest> request_;
    std::vector<FakeWireMessage> sent_;
    std::optional<int> closeCode_;
    std::size_t batches_ = 0;
};

class FakeWebSocket final : public WebSocket {
public:
    explicit FakeWebSocket(std::shared_ptr<FakeSocketRecord> record) : record_(std::move(record)) {}
    void open(const WebSocketRequest& request) override;
    void sendBinary(std::vector<std::uint8_t> data) override;
    void sendBinaryBatch(std::vector<std::vector<std::uint8_t>> chunks) override;
    void sendText(std::string text) override;
    void close(int code) override;

private:
    std::shared_ptr<FakeSocketRecord> record_;
};

class FakeWebSocketFactory final : public WebSocketFactory {
public:
    std::unique_ptr<WebSocket> create(WebSocketEvents events) override;
    std::size_t created() const;
    std::shared_ptr<FakeSocketRecord> last() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeSocketRecord>> sockets_;
};

}  // namespace parlando::testing
