#include "core/DisplaySession.h"

#include <cstdlib>
#include <cstring>

namespace parlando {
namespace {

bool set(const char* v) { return v != nullptr && *v != '\0'; }

}  // namespace

DisplaySession detectDisplaySession(const char* display, const char* waylandDisplay, const char* sessionType) {
    // An X11 session that inherited a stray WAYLAND_DISPLAY (a nested
    // compositor started from it, say) is still an X11 session.
    if (set(sessionType) && std::strcmp(sessionType, "x11") == 0 && set(display)) return DisplaySession::x11;
    if (set(waylandDisplay)) return set(display) ? DisplaySession::waylandWithXWayland : DisplaySession::waylandOnly;
    if (set(display)) return DisplaySession::x11;
    return DisplaySession::none;
}

DisplaySession currentDisplaySession() {
    return detectDisplaySession(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"),
                                std::getenv("XDG_SESSION_TYPE"));
}

std::string_view displaySessionName(DisplaySession session) {
    switch (session) {
        case DisplaySession::none: return "no graphical session";
        case DisplaySession::x11: return "X11";
        case DisplaySession::waylandWithXWayland: return "Wayland with XWayland";
        case DisplaySession::waylandOnly: return "Wayland without XWayland";
    }
    return "unknown";
}

}  // namespace parlando
