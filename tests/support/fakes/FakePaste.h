#pragma once
// Clipboard and synthetic-keyboard fakes that note when (in loop time) each
// thing happened.
#include "core/MainLoop.h"
#include "dictation/PasteDelivery.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace parlando::testing {

class FakeClipboard final : public Clipboard {
public:
    std::optional<std::string> unavailable() override {
        return available ? std::nullopt : std::optional<std::string>("no clipboard here");
    }
    bool setText(const std::string& t) override { return available && (text = t); }
    bool setPrimarySelection(const std::string& t) override { return bool(primary = t); }
    bool holds(const std::string& t) override { return owned && text == t; }

    bool available = true;
    bool owned = true;  // false: another program took the clipboard
    std::optional<std::string> text, primary;
};

class FakePasteKeys final : public PasteKeys {
public:
    explicit FakePasteKeys(MainLoop& loop) : loop_(loop) {}
    std::optional<std::string> unavailable() override { return unavailableReason; }
    std::optional<WindowClass> focusedWindowClass() override { return focused; }
    bool send(PasteShortcut shortcut, std::string& why) override {
        if (!failWith) sent.emplace_back(loop_.now(), shortcut);
        why = failWith.value_or("");
        return !failWith;
    }

    std::optional<std::string> unavailableReason, failWith;
    std::optional<WindowClass> focused;
    std::vector<std::pair<MonoTime, PasteShortcut>> sent;  // when, in loop time

private:
    MainLoop& loop_;
};

}  // namespace parlando::testing
