#pragma once
// Chooses how the hotkey is watched and keeps it watched: the kernel's input
// devices first; when they cannot be read, the X server's raw key events for
// the same key. Also re-reads "ParlandoHotkey" when the user picks another key,
// so the choice takes effect at once.
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/Settings.h"
#include "hotkey/FNKeyTap.h"
#include "hotkey/KeyEdgeSource.h"

#include <functional>
#include <string>

namespace parlando {

class HotkeyListener {
public:
    enum class Mode { none, tap, fallback };

    // `fallback` may be null (no X11 on this platform build).
    HotkeyListener(MainLoop& loop, Log& log, Settings& settings, KeyEdgeSource& primary, KeyEdgeSource* fallback);

    // Main thread. Reads the configured key and installs the tap or, when that
    // fails, the fallback. The callbacks are kept for later restarts.
    void start(std::function<void()> onPress, std::function<void()> onRelease);
    // Main thread. Stores `name` as the hotkey (unknown names are refused with
    // a log line) and restarts with it.
    bool setKey(const std::string& name);
    // Main thread. Stops and starts again with the configured key.
    void restart();
    void stop();

    Mode mode() const { return mode_; }
    const std::string& keyName() const { return keyName_; }

private:
    Log& log_;
    Settings& settings_;
    FNKeyTap tap_;
    std::unique_ptr<FNKeyTap> fallback_;
    KeyEdgeSource* fallbackSource_;
    std::function<void()> onPress_;
    std::function<void()> onRelease_;
    Mode mode_ = Mode::none;
    std::string keyName_;
};

}  // namespace parlando
