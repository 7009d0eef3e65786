#pragma once
// The WebSocket as the recognition client needs it. The real one runs on a
// network thread (adapters/QtWebSocket.h); tests drive a fake by hand.
//
// Contract for implementations:
// - Every method may be called from any thread, returns at once and never
//   calls an event inline (callers hold their own lock while calling).
// - Messages go to the wire in the order the send calls were made, text and
//   binary alike. Messages sent before the socket has opened are held and
//   go out right after the open event; if it never opens they are dropped.
// - Events arrive on one thread of the implementation's choosing, one at a
//   time. onFailure is reported at most once; onClose exactly once at the
//   end of a connection that was opened with open(), also after a failure
//   (code 1006 when no close frame was exchanged).
// - After close() or destruction, further events are not guaranteed to stop
//   at once: receivers must tolerate late events.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace parlando {

struct WebSocketEvents {
    std::function<void()> onOpen;
    std::function<void(std::string text)> onText;
    std::function<void(std::string bytes)> onBinary;
    // code and the close reason exactly as received (not checked for UTF-8).
    std::function<void(int code, std::string reasonBytes)> onClose;
    // The connection failed: refused handshake (the description names the
    // HTTP status), unreachable host, time-out, or a connection that dropped.
    std::function<void(std::string description)> onFailure;
    // One message could not be handed to the network.
    std::function<void(std::string description)> onSendFailed;
};

struct WebSocketRequest {
    std::string url;
    std::string headerName;  // one extra request header
    std::string headerValue;
    std::chrono::milliseconds timeout{15000};  // whole handshake, hard deadline
};

class WebSocket {
public:
    virtual ~WebSocket() = default;
    virtual void open(const WebSocketRequest& request) = 0;
    virtual void sendBinary(std::vector<std::uint8_t> data) = 0;
    // Same as sending each chunk in turn; one hand-off for the lot.
    virtual void sendBinaryBatch(std::vector<std::vector<std::uint8_t>> chunks) {
        for (auto& c : chunks) sendBinary(std::move(c));
    }
    virtual void sendText(std::string text) = 0;
    // Starts the closing handshake with `code` (or drops the connection if it
    // is not open yet) and releases the connection's resources.
    virtual void close(int code) = 0;
};

class WebSocketFactory {
public:
    virtual ~WebSocketFactory() = default;
    virtual std::unique_ptr<WebSocket> create(WebSocketEvents events) = 0;
};

}  // namespace parlando
