#pragma once
// libtdjson stand-in: records requests, and delivers events through the
// receive function as the real loop would, on the caller's thread.
#include "telegram/TdJson.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace parlando::testing {

class FakeTdJson final : public TdJson {
public:
    std::optional<LoadFailure> load() override {
        ++loads;
        return loadFailure;
    }
    int createClientId() override { return ++lastClientId; }
    void send(int clientId, const std::string& request) override {
        sent.push_back(nlohmann::json::parse(request));
        sent.back()["to"] = clientId;
    }
    std::string execute(const std::string& request) override {
        executed.push_back(request);
        return R"({"@type":"ok"})";
    }
    void startReceiving(ReceiveFn fn) override {
        ++receiveStarts;
        onReceive = std::move(fn);
    }
    // What the receive loop would hand over; false when it would stop.
    bool deliver(const std::string& text) { return onReceive && onReceive(text.c_str()); }
    bool deliverAuthState(const std::string& state) {
        return deliver(R"({"@type":"updateAuthorizationState","authorization_state":{"@type":")" + state +
                       R"("},"@client_id":)" + std::to_string(lastClientId) + "}");
    }
    std::vector<std::string> sentTypes() const {
        std::vector<std::string> out;
        for (const auto& r : sent) out.push_back(r.at("@type"));
        return out;
    }

    std::optional<LoadFailure> loadFailure;
    int loads = 0, lastClientId = 0, receiveStarts = 0;
    std::vector<nlohmann::json> sent;
    std::vector<std::string> executed;
    ReceiveFn onReceive;
};

}  // namespace parlando::testing
