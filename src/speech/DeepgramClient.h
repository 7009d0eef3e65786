#pragma once
// One streaming connection to the recognition service: opens the socket with
// the API key, holds audio that arrives before the open, sends PCM chunks as
// binary messages, asks the service to finish, and turns its JSON results
// into Transcript records. One instance per connection; never reused.
//
// Threads: connect/sendAudio/finish/disconnect from any thread. Callbacks
// arrive on the socket's event thread (onError for an unusable URL on the
// caller of connect()); owners hop to their own thread. No callback is ever
// called with `lock` held.
//
// Order on the wire: every chunk goes out in the order sendAudio was called,
// including the chunks held while connecting, and the close message follows
// all audio handed over before finish(). Hand-offs to the socket happen under
// `lock`, so the socket's queue order is the order of the critical sections.
#include "core/Log.h"
#include "speech/DGError.h"
#include "speech/Transcript.h"
#include "speech/WebSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace parlando {

class DeepgramClient : public std::enable_shared_from_this<DeepgramClient> {
public:
    enum class State { idle, connecting, open, closing, closed, failed };

    // Socket events hold the client weakly, so it lives in a shared_ptr.
    static std::shared_ptr<DeepgramClient> create(WebSocketFactory& sockets, Log& log, std::string apiKey,
                                                  std::string language = "multi", std::string model = "nova-3",
                                                  int channels = 1, bool multichannel = false);
    // Tears the connection down (code 1001) without reporting anything.
    ~DeepgramClient();
    DeepgramClient(const DeepgramClient&) = delete;
    DeepgramClient& operator=(const DeepgramClient&) = delete;

    // Set before connect().
    std::function<void(const Transcript&)> onTranscript;
    std::function<void(const std::string& description)> onError;
    std::function<void(int code, const std::string& reason)> onClose;
    std::function<void()> onOpen;

    const std::string apiKey;
    const std::string language;
    const std::string model;
    const int channels;
    const bool multichannel;
    static constexpr std::int64_t pendingCap = 0x400000;  // 4 MiB held while connecting
    static constexpr int closeGoingAway = 1001;
    static constexpr int closeAbnormal = 1006;

    // Scheme, host and port to connect to; PARLANDO_DEEPGRAM_URL or the
    // public endpoint unless changed before connect().
    void setEndpoint(std::string base);

    void connect();
    void sendAudio(std::vector<std::uint8_t> data);
    void sendAudio(const std::uint8_t* data, std::size_t size) { sendAudio(std::vector<std::uint8_t>(data, data + size)); }
    void finish();
    void disconnect();

    State state() const;
    std::int64_t chunksSent() const;
    std::int64_t bytesSent() const;

    // The close message, compact JSON.
    static std::string closeStreamMessage();

private:
    DeepgramClient(WebSocketFactory& sockets, Log& log, std::string apiKey, std::string language, std::string model,
                   int channels, bool multichannel);

    // Socket events, tagged with the connection they belong to: events of a
    // connection that has been torn down are ignored.
    void handleOpen(std::uint64_t generation);
    void handleText(std::uint64_t generation, const std::string& text);
    void handleBinary(std::uint64_t generation, const std::string& bytes);
    void handleFailure(std::uint64_t generation, const std::string& description);
    void handleSendFailed(std::uint64_t generation, const std::string& description);
    void handleClose(std::uint64_t generation, int code, const std::string& reasonBytes);
    void deliver(const std::string& text);
    bool isCurrent(std::uint64_t generation) const;  // lock held

    void teardownLocked(int closeCode);  // lock held

    WebSocketFactory& sockets_;
    Log& log_;

    mutable std::mutex lock;
    std::string endpoint_;
    State state_ = State::idle;
    std::unique_ptr<WebSocket> task_;
    std::uint64_t generation_ = 0;
    std::vector<std::vector<std::uint8_t>> pending_;
    std::int64_t pendingBytes_ = 0;
    bool finishOnOpen_ = false;  // finish() came while connecting
    std::int64_t chunksSent_ = 0;
    std::int64_t bytesSent_ = 0;
};

const char* toString(DeepgramClient::State state);

}  // namespace parlando
