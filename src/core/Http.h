#pragma once
// HTTP GET as the lamp and the update checker need it: one request, one
// answer, never waited for. The real client runs on a network thread
// (adapters/QtHttpClient.h); tests use the local test servers or a fake.
#include "core/MainLoop.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace parlando {

struct HttpRequest {
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    // Longest silence from the server; zero: none.
    Duration idleTimeout{0};
    // Longest time for the whole request, however busy the server is; zero: none.
    Duration totalTimeout{0};
    // Go to the server even when a cached answer exists, and cache nothing.
    bool bypassCache = false;
};

struct HttpResponse {
    // Set when no HTTP answer arrived (refused, unreachable, timed out, aborted).
    std::optional<std::string> error;
    int status = 0;  // the HTTP status code when an answer arrived
    std::string body;
};

class HttpClient {
public:
    using Completion = std::function<void(const HttpResponse& response)>;
    virtual ~HttpClient() = default;
    // Callable from any thread; returns at once. The completion runs once, on
    // a thread of the client's choosing (never inline): receivers hop to
    // their own thread.
    virtual void get(const HttpRequest& request, Completion completion) = 0;
};

// Whether "http://HOST:PORT/..." is a URL the client can send: a host name,
// an IPv4 address or a bracketed IPv6 address, and a port from 1 to 65535.
bool isValidHttpAuthority(const std::string& host, std::int64_t port);

}  // namespace parlando
