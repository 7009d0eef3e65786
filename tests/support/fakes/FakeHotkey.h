#pragma once
// A key-edge source driven by the test: it records what it was asked to watch
// and hands events to the sink on whichever thread the test calls emit() from.
#include "hotkey/KeyEdgeSource.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace parlando::testing {

class FakeKeyEdgeSource final : public KeyEdgeSource {
public:
    explicit FakeKeyEdgeSource(std::string name = "fake") : name_(std::move(name)) {}

    std::string name() const override { return name_; }
    std::optional<std::string> start(const HotkeyKey& key, Sink sink) override {
        std::lock_guard lock(mutex_);
        startedKeys.push_back(key.name);
        if (failWith) return failWith;
        sink_ = std::move(sink);
        return std::nullopt;
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        if (sink_) ++stops;
        sink_ = nullptr;
    }
    // Delivers an event as the real source's thread would; false when stopped.
    bool emit(int device, KeyAction action) {
        std::lock_guard lock(mutex_);
        if (!sink_) return false;
        sink_(KeyEvent{device, action});
        return true;
    }
    bool watchesKey() const override { return keyboards; }

    std::optional<std::string> failWith;  // start() refuses with this reason
    bool keyboards = true;                 // false: started, but no device has the key
    std::vector<std::string> startedKeys;
    int stops = 0;

private:
    std::string name_;
    mutable std::mutex mutex_;
    Sink sink_;
};

}  // namespace parlando::testing
