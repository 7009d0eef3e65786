#pragma once
// libtdjson stand-in: records requests, and hands events to the receive
// function as the real loop would, on the caller's thread.
#include "telegram/TdJson.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace parlando::testing {

class FakeTdJson final : public TdJson {
public:
    std::optional<LoadFailure> load() override { return loadFailure; }
    int createClientId() override { return ++lastClientId; }
    void send(int, const std::string& request) override { sent.push_back(nlohmann::json::parse(request)); }
    std::string execute(const std::string&) override { return R"({"@type":"ok"})"; }
    void startReceiving(ReceiveFn fn) override { onReceive = std::move(fn); }
    // False when the receive loop would end.
    bool deliver(const std::string& text) { return onReceive && onReceive(text.c_str()); }
    std::string lastType() const { return sent.empty() ? "" : sent.back().at("@type").get<std::string>(); }

    std::optional<LoadFailure> loadFailure;
    int lastClientId = 0;
    std::vector<nlohmann::json> sent;
    ReceiveFn onReceive;
};

}  // namespace parlando::testing
