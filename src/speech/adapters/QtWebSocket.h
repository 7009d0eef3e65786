#pragma once
// The WebSocket port on Qt WebSockets. Every QWebSocket lives on one network
// thread with its own event loop; callers on any thread only append to a
// per-socket queue under a short lock and, when the queue was empty, post one
// wake-up to that thread. Nothing here waits for the network.
//
// Needs a QCoreApplication in the process. Destroy every socket before the
// factory that made it.
#include "speech/WebSocket.h"

#include <memory>

namespace parlando {

class QtNetworkThread;

class QtWebSocketFactory final : public WebSocketFactory {
public:
    QtWebSocketFactory();
    ~QtWebSocketFactory() override;
    QtWebSocketFactory(const QtWebSocketFactory&) = delete;
    QtWebSocketFactory& operator=(const QtWebSocketFactory&) = delete;

    std::unique_ptr<WebSocket> create(WebSocketEvents events) override;

private:
    std::shared_ptr<QtNetworkThread> loop_;
};

// Turns Qt's error text into what a user should read; a refused handshake
// names its HTTP status ("Unhandled http status code: 401" in Qt 6.4);
// otherwise it says whether the connection failed to open or was lost.
std::string describeWebSocketError(const std::string& qtErrorString, bool wasOpen);

}  // namespace parlando
