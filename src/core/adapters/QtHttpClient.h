#pragma once
// HTTP GET on Qt Network, on a network thread of its own. Callers on any
// thread only post the request there; completions run on that thread.
// Qt's transfer time-out counts idle time only, so the total deadline has
// its own timer that aborts the request.
//
// Needs a QCoreApplication in the process. Requests still running when the
// client is destroyed are aborted without their completions.
#include "core/Http.h"

#include <memory>

namespace parlando {

namespace qthttp {
struct NetworkThread;
}

class QtHttpClient final : public HttpClient {
public:
    explicit QtHttpClient(const char* threadName = "parlando-http");
    ~QtHttpClient() override;
    QtHttpClient(const QtHttpClient&) = delete;
    QtHttpClient& operator=(const QtHttpClient&) = delete;

    void get(const HttpRequest& request, Completion completion) override;

private:
    std::shared_ptr<qthttp::NetworkThread> thread_;
};

}  // namespace parlando
