#pragma once
// What kind of graphical session we run in, from the environment the session
// manager gives every program.
#include <string_view>

namespace parlando {

enum class DisplaySession {
    none,                 // neither X11 nor Wayland
    x11,
    waylandWithXWayland,  // Qt stays on X11; Wayland windows are reached through Wayland
    waylandOnly,          // Qt runs on Wayland
};

// display: $DISPLAY, waylandDisplay: $WAYLAND_DISPLAY, sessionType:
// $XDG_SESSION_TYPE; null or empty when unset.
DisplaySession detectDisplaySession(const char* display, const char* waylandDisplay, const char* sessionType);
DisplaySession currentDisplaySession();
std::string_view displaySessionName(DisplaySession session);

}  // namespace parlando
