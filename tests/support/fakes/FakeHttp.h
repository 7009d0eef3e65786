#pragma once
// An HTTP client the test answers by hand: requests wait until answered.
#include "core/Http.h"

#include <deque>
#include <stdexcept>

namespace parlando::testing {

class FakeHttpClient final : public HttpClient {
public:
    void get(const HttpRequest& request, Completion completion) override {
        pending.push_back({request, std::move(completion)});
        urls.push_back(request.url);
    }
    // Answers the oldest open request.
    void answer(int status, const std::string& body = {}) { next()(HttpResponse{std::nullopt, status, body}); }
    void fail(const std::string& error) { next()(HttpResponse{error, 0, {}}); }

    struct Pending {
        HttpRequest request;
        Completion completion;
    };
    std::deque<Pending> pending;
    std::vector<std::string> urls;  // every request ever made, in order

private:
    Completion next() {
        if (pending.empty()) throw std::logic_error("no request to answer");
        Completion c = std::move(pending.front().completion);
        pending.pop_front();
        return c;
    }
};

}  // namespace parlando::testing
