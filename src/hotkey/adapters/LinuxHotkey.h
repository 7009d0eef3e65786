#pragma once
// The hotkey as a Linux desktop has it: the input devices first, the X
// server's raw key events when those cannot be read, and logind's word on
// whether our session is in front. One object for the composition root to own.
#include "hotkey/HotkeyListener.h"
#include "hotkey/adapters/EvdevKeySource.h"
#include "hotkey/adapters/LogindSession.h"
#include "hotkey/adapters/X11RawKeySource.h"

namespace parlando {

class LinuxHotkey {
public:
    LinuxHotkey(MainLoop& loop, Log& log, Settings& settings, Notifier* notifier = nullptr,
                const std::filesystem::path& inputDir = "/dev/input")
        : evdev_(log, devicesIn(inputDir)),
          x11_(log),
          session_(log),
          listener_(loop, log, settings, evdev_, &x11_, notifier, &session_) {}

    // start(onPress, onRelease), setKey(name), restart(), stop(), mode(), problem().
    HotkeyListener& listener() { return listener_; }
    LoginSession& session() { return session_; }

private:
    static EvdevKeySource::Options devicesIn(const std::filesystem::path& dir) {
        EvdevKeySource::Options options;
        options.dir = dir;
        return options;
    }

    EvdevKeySource evdev_;
    X11RawKeySource x11_;
    LogindSession session_;
    HotkeyListener listener_;  // declared last: stopped before the sources go
};

}  // namespace parlando
