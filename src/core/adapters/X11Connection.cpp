#include "core/adapters/X11Connection.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <mutex>

namespace parlando {
namespace {

int ignoreProtocolError(Display*, XErrorEvent*) { return 0; }

void connectionLost(Display*, void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); }

}  // namespace

X11Connection::X11Connection(const std::string& displayName) {
    static std::once_flag once;
    // A window that closes between our lookup and our query must not end the app.
    std::call_once(once, [] { XSetErrorHandler(ignoreProtocolError); });
    display_ = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (display_ != nullptr) XSetIOErrorExitHandler(display_, connectionLost, lost_.get());
}

X11Connection::~X11Connection() {
    if (display_ != nullptr) XCloseDisplay(display_);
}

std::string X11Connection::whyNoDisplay(const std::string& displayName) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const std::string name = !displayName.empty() ? displayName : (display != nullptr ? display : "");
    if (name.empty()) {
        if (wayland != nullptr && *wayland != '\0') return "no X display (Wayland session without XWayland)";
        return "no display (DISPLAY is not set)";
    }
    return "cannot open X display " + name;
}

}  // namespace parlando
