#include "speech/adapters/QtWebSocket.h"

#include <gtest/gtest.h>

namespace parlando {
namespace {

TEST(QtWebSocketErrors, RefusedHandshakeNamesTheStatusOtherwiseSaysWhatFailed) {
    // The text Qt 6.4 gives for a refused upgrade.
    EXPECT_EQ(describeWebSocketError("QWebSocketPrivate::processHandshake: Unhandled http status code: 401 (Unauthorized).", false),
              "WebSocket handshake refused with HTTP status 401 (Unauthorized)");
    EXPECT_EQ(describeWebSocketError("Unhandled http status code: 429", false),
              "WebSocket handshake refused with HTTP status 429 (Too Many Requests)");
    EXPECT_EQ(describeWebSocketError("Unhandled http status code: 418", false),
              "WebSocket handshake refused with HTTP status 418");
    EXPECT_EQ(describeWebSocketError("Connection refused", false), "WebSocket connection failed: Connection refused");
    EXPECT_EQ(describeWebSocketError("The remote host closed the connection", true),
              "WebSocket connection lost: The remote host closed the connection");
    EXPECT_EQ(describeWebSocketError("", true), "WebSocket connection lost: closed without a close frame");
}

}  // namespace
}  // namespace parlando
