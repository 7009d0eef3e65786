#pragma once
// An HTTP client the test answers by hand: requests wait until answered.
#include "core/Http.h"

#include <deque>

namespace parlando::testing {

class FakeHttpClient final : public HttpClient {
public:
    void get(const HttpRequest& request, Completion completion) override {
        pending.push_back(std::move(completion)), urls.push_back(request.url);
    }
    // Answers the oldest open request: a status, or a transport error.
    void answer(int status, const std::string& body = {}, std::optional<std::string> error = {}) {
        Completion c = std::move(pending.front());
        pending.pop_front(), c(HttpResponse{std::move(error), status, body});
    }
    void fail(const std::string& error) { answer(0, {}, error); }

    std::deque<Completion> pending;
    std::vector<std::string> urls;  // every request ever made, in order
};

}  // namespace parlando::testing
