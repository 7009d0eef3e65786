#pragma once
// The hotkey as a Linux desktop has it: the input devices first; in a Wayland
// session a shortcut bound through the desktop portal next; the X server's raw
// key events last (under XWayland they see only keys typed into X windows);
// and logind's word on whether our session is in front. One object for the
// composition root to own.
#include "core/DisplaySession.h"
#include "hotkey/HotkeyListener.h"
#include "hotkey/adapters/EvdevKeySource.h"
#include "hotkey/adapters/LogindSession.h"
#include "hotkey/adapters/PortalShortcutKeySource.h"
#include "hotkey/adapters/X11RawKeySource.h"

#include <memory>

namespace parlando {

class LinuxHotkey {
public:
    LinuxHotkey(MainLoop& loop, Log& log, Settings& settings, Notifier* notifier = nullptr,
                const std::filesystem::path& inputDir = "/dev/input",
                DisplaySession display = currentDisplaySession())
        : evdev_(log, devicesIn(inputDir)),
          x11_(log),
          portal_(display == DisplaySession::waylandWithXWayland || display == DisplaySession::waylandOnly
                      ? std::make_unique<PortalShortcutKeySource>(log)
                      : nullptr),
          session_(log),
          // Without XWayland there is no X server to ask.
          listener_(loop, log, settings, evdev_, display == DisplaySession::waylandOnly ? nullptr : &x11_, notifier,
                    &session_, portal_.get()) {}

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
    std::unique_ptr<PortalShortcutKeySource> portal_;
    LogindSession session_;
    HotkeyListener listener_;  // declared last: stopped before the sources go
};

}  // namespace parlando
