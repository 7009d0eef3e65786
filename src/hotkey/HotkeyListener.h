#pragma once
// Chooses how the hotkey is watched and keeps it watched: the kernel's input
// devices first; when they cannot be read (or none of them has the key), a
// shortcut bound through the desktop portal (Wayland sessions), then the X
// server's raw key events for the same key. Also re-reads "ParlandoHotkey"
// when the user picks another key, so the choice takes effect at once. When
// the chosen key cannot work at all, the user is told once per launch and key.
// Edges count only while our login session is in front.
#include "app/Notifier.h"
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/Settings.h"
#include "hotkey/FNKeyTap.h"
#include "hotkey/KeyEdgeSource.h"
#include "hotkey/LoginSession.h"

#include <functional>
#include <optional>
#include <set>
#include <string>

namespace parlando {

inline constexpr const char* hotkeyProblemTitle = "Клавиша диктовки не работает";
inline constexpr const char* hotkeyProblemIdentifier = "parlando.hotkey-unavailable";

// Why the chosen key does nothing: a line for the hotkey menu and the
// notification's text, both saying what to do.
struct HotkeyProblem {
    std::string menuNote;
    std::string body;
};

class HotkeyListener {
public:
    enum class Mode { none, tap, portal, fallback };

    // `fallback` may be null (no X11 on this platform build); `notifier` and
    // `session` too (nothing is posted; edges always count); `portal` is set
    // in Wayland sessions only and comes before the fallback.
    HotkeyListener(MainLoop& loop, Log& log, Settings& settings, KeyEdgeSource& primary, KeyEdgeSource* fallback,
                   Notifier* notifier = nullptr, LoginSession* session = nullptr, KeyEdgeSource* portal = nullptr);
    ~HotkeyListener();
    HotkeyListener(const HotkeyListener&) = delete;
    HotkeyListener& operator=(const HotkeyListener&) = delete;

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
    // Why the chosen key does nothing right now, in the user's words (for the
    // hotkey menu); none while it works. Checked live: a keyboard plugged in
    // later clears it.
    std::optional<HotkeyProblem> problem() const;

private:
    void edge(bool press);
    // After the devices: the X server's keys, else nothing (and keep waiting
    // for a keyboard with the key when the devices could be read).
    void startFallback();
    void portalLost(const std::string& why, const std::string& userWhy);
    void tellUser();

    MainLoop& loop_;
    Log& log_;
    Settings& settings_;
    KeyEdgeSource& primary_;
    FNKeyTap tap_;
    std::unique_ptr<FNKeyTap> fallback_;
    std::unique_ptr<FNKeyTap> portal_;
    Notifier* notifier_;
    LoginSession* session_;
    KeyEdgeSource* portalSource_;
    std::function<void()> onPress_;
    std::function<void()> onRelease_;
    Mode mode_ = Mode::none;
    std::string keyName_;
    HotkeyKey key_;
    bool devicesReadable_ = false;
    bool x11Visible_ = true;
    std::string portalRefusal_;  // why the portal gave no shortcut, in the user's words
    std::set<std::string> told_;  // keys the user has been told about this launch
};

}  // namespace parlando
