#pragma once
// A hand-driven WebSocket for the recognition client, on the test's thread
// only: records what the client asked for and lets the test play the
// network's events.
#include "speech/WebSocket.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace parlando::testing {

// What one socket was told; outlives the socket (the client drops it on teardown).
struct FakeSocketRecord {
    WebSocketEvents events;
    std::vector<std::string> sent;  // audio and text messages, in hand-over order
    std::optional<int> closeCode;
    std::size_t batches = 0;

    // Play the network's side (called with no client lock held, like the real one).
    void open() const { events.onOpen(); }
    void text(const std::string& t) const { events.onText(t); }
    void fail(const std::string& d) const { events.onFailure(d); }
    void closed(int code, const std::string& reason) const { events.onClose(code, reason); }
};

class FakeWebSocketFactory final : public WebSocketFactory {
public:
    std::unique_ptr<WebSocket> create(WebSocketEvents events) override {
        struct Socket final : WebSocket {
            explicit Socket(std::shared_ptr<FakeSocketRecord> r) : r(std::move(r)) {}
            void open(const WebSocketRequest&) override {}
            void sendBinary(std::vector<std::uint8_t> d) override { r->sent.emplace_back(d.begin(), d.end()); }
            void sendBinaryBatch(std::vector<std::vector<std::uint8_t>> chunks) override {
                ++r->batches;
                for (auto& c : chunks) sendBinary(std::move(c));
            }
            void sendText(std::string text) override { r->sent.push_back(std::move(text)); }
            void close(int code) override { r->closeCode = r->closeCode.value_or(code); }
            std::shared_ptr<FakeSocketRecord> r;
        };
        sockets.push_back(std::make_shared<FakeSocketRecord>());
        sockets.back()->events = std::move(events);
        return std::make_unique<Socket>(sockets.back());
    }
    // Throws, rather than hand out a null, before any socket exists.
    std::shared_ptr<FakeSocketRecord> last() const { return sockets.at(sockets.size() - 1); }
    std::vector<std::shared_ptr<FakeSocketRecord>> sockets;
};

}  // namespace parlando::testing
