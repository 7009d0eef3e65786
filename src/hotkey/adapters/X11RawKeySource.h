#pragma once
// Hotkey events from the X server when the input devices cannot be read:
// XInput2 raw key events on the root window, for all master devices. They
// arrive without a grab and also while another client holds one. The X server
// never sees some keys (fn); for those start() fails. Keys synthesised through
// the core XTest device (our own paste shortcut) are not the user's and are
// ignored.
#include "core/Log.h"
#include "hotkey/KeyEdgeSource.h"

#include <memory>
#include <set>
#include <string>
#include <thread>

namespace parlando {

class X11Connection;

class X11RawKeySource final : public KeyEdgeSource {
public:
    // displayName empty: $DISPLAY.
    explicit X11RawKeySource(Log& log, std::string displayName = {});
    ~X11RawKeySource() override;

    std::string name() const override { return "X11 XInput2"; }
    std::optional<std::string> start(const HotkeyKey& key, Sink sink) override;
    void stop() override;

    // The X key codes the key was found on (after start()).
    const std::set<int>& keycodes() const { return keycodes_; }

private:
    void run();

    Log& log_;
    std::string displayName_;
    std::unique_ptr<X11Connection> connection_;
    int xiOpcode_ = 0;
    int xtestKeyboard_ = -1;  // the core XTest device: synthetic keys, ours among them
    std::set<int> keycodes_;
    Sink sink_;
    int stopFd_ = -1;
    std::thread thread_;
};

}  // namespace parlando
