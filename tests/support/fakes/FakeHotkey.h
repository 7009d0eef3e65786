#pragma once
// A key-edge source driven by the test: it records what it was asked to watch
// and hands events straight to the sink.
#include "hotkey/KeyEdgeSource.h"

#include <optional>
#include <string>
#include <vector>

namespace parlando::testing {

class FakeKeyEdgeSource final : public KeyEdgeSource {
public:
    std::string name() const override { return "fake"; }
    std::optional<std::string> start(const HotkeyKey& key, Sink sink) override {
        startedKeys.push_back(key.name);
        if (failWith) return failWith;
        sink_ = std::move(sink);
        return std::nullopt;
    }
    void stop() override {
        stops += sink_ ? 1 : 0;
        sink_ = nullptr;
    }
    void emit(int device, KeyAction action) {
        if (sink_) sink_(KeyEvent{device, action});
    }
    bool watchesKey() const override { return keyboards; }

    std::optional<std::string> failWith;  // start() refuses with this reason
    bool keyboards = true;                 // false: started, but no device has the key
    std::vector<std::string> startedKeys;
    int stops = 0;

private:
    Sink sink_;
};

}  // namespace parlando::testing
