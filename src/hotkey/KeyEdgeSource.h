#pragma once
// Where key events for the hotkey come from: the kernel's input devices, or
// the X server when those cannot be read. A source reports what each device
// says about the one key it watches; FNKeyTap turns that into edges.
#include "hotkey/HotkeyNames.h"

#include <functional>
#include <optional>
#include <string>

namespace parlando {

enum class KeyAction {
    down,        // the key went down on `device`
    up,          // the key went up on `device`
    repeat,      // auto-repeat while held
    deviceGone,  // `device` vanished (unplugged, read error); it holds nothing any more
};

struct KeyEvent {
    int device = 0;  // any number that tells the source's devices apart
    KeyAction action = KeyAction::down;
};

class KeyEdgeSource {
public:
    using Sink = std::function<void(const KeyEvent&)>;

    virtual ~KeyEdgeSource() = default;

    // Short name for log lines ("evdev", "X11 XInput2").
    virtual std::string name() const = 0;

    // Starts watching `key`. The sink may be called on any thread, one call at
    // a time, in the order the events happened. Returns nullopt when watching,
    // else why not (a log-line fragment that names the fix).
    virtual std::optional<std::string> start(const HotkeyKey& key, Sink sink) = 0;

    // Stops watching. After it returns the sink is not called again. Safe
    // when not started.
    virtual void stop() = 0;

    // Main thread, after a successful start(): whether some device that can
    // emit the key is watched right now. A source may start with none and
    // wait for one to be plugged in.
    virtual bool watchesKey() const { return true; }

    // For sources whose start is settled later (a desktop service asks the
    // user first): called on the main thread when the source stops watching
    // for good, with why (a log-line fragment) and the same in the user's
    // words. It may stop or restart the source from inside.
    using LostSink = std::function<void(const std::string& why, const std::string& userWhy)>;
    virtual void setOnLost(LostSink) {}
};

}  // namespace parlando
