#include "hotkey/adapters/X11RawKeySource.h"

#include "core/adapters/X11Connection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace parlando {

static_assert(XK_Control_R == 0xffe4 && XK_Alt_R == 0xffea && XK_Pause == 0xff13 && XK_Scroll_Lock == 0xff14 &&
                  XK_Caps_Lock == 0xffe5 && XK_Insert == 0xff63,
              "hotkey table out of step with X11's keysyms");

namespace {
// X key codes are the kernel's codes plus 8 under the evdev keymap every
// Linux X server uses; keys without a keysym (F13) are found that way.
constexpr int evdevToXKeycodeOffset = 8;
}  // namespace

X11RawKeySource::X11RawKeySource(Log& log, std::string displayName)
    : log_(log), displayName_(std::move(displayName)) {}

X11RawKeySource::~X11RawKeySource() { stop(); }

std::optional<std::string> X11RawKeySource::start(const HotkeyKey& key, Sink sink) {
    stop();
    if (!key.x11Visible) return "X11 cannot see the " + key.name + " key";
    connection_ = std::make_unique<X11Connection>(displayName_);
    Display* dpy = connection_->display();
    if (dpy == nullptr) {
        connection_.reset();
        return X11Connection::whyNoDisplay(displayName_);
    }
    int event = 0, error = 0;
    int major = 2, minor = 2;
    if (!XQueryExtension(dpy, "XInputExtension", &xiOpcode_, &event, &error) ||
        XIQueryVersion(dpy, &major, &minor) != Success || major < 2) {
        connection_.reset();
        return "the X server has no XInput2";
    }
    keycodes_.clear();
    if (key.x11Keysym != 0) {
        const KeyCode code = XKeysymToKeycode(dpy, key.x11Keysym);
        if (code != 0) keycodes_.insert(code);
    }
    if (keycodes_.empty() && key.evdevCode + evdevToXKeycodeOffset <= 255) {
        keycodes_.insert(key.evdevCode + evdevToXKeycodeOffset);
    }
    if (keycodes_.empty()) {
        connection_.reset();
        return "the X keymap has no " + key.name + " key";
    }

    // Our own paste shortcut enters through XTest: it must not count as the
    // user's key (a hotkey of Insert would restart a dictation on Shift+Insert).
    xtestKeyboard_ = -1;
    int count = 0;
    if (XIDeviceInfo* devices = XIQueryDevice(dpy, XIAllDevices, &count)) {
        for (int i = 0; i < count; ++i)
            if (std::strcmp(devices[i].name, "Virtual core XTEST keyboard") == 0) xtestKeyboard_ = devices[i].deviceid;
        XIFreeDeviceInfo(devices);
    }

    std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> maskBits{};
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(maskBits.size()), maskBits.data()};
    XISetMask(maskBits.data(), XI_RawKeyPress);
    XISetMask(maskBits.data(), XI_RawKeyRelease);
    XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
    XSync(dpy, False);
    if (connection_->lost()) {
        connection_.reset();
        return "the X server went away";
    }

    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) {
        connection_.reset();
        return std::string("eventfd failed: ") + std::strerror(errno);
    }
    sink_ = std::move(sink);
    thread_ = std::thread([this] { run(); });
    return std::nullopt;
}

void X11RawKeySource::stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    if (stopFd_ >= 0) ::close(stopFd_);
    stopFd_ = -1;
    connection_.reset();
    sink_ = nullptr;
}

void X11RawKeySource::run() {
    Display* dpy = connection_->display();
    std::array<pollfd, 2> fds{{{stopFd_, POLLIN, 0}, {ConnectionNumber(dpy), POLLIN, 0}}};
    for (;;) {
        while (!connection_->lost() && XPending(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (connection_->lost()) break;
            XGenericEventCookie* cookie = &ev.xcookie;
            if (cookie->type != GenericEvent || cookie->extension != xiOpcode_) continue;
            if (!XGetEventData(dpy, cookie)) continue;
            if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
                const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
                if (keycodes_.count(raw->detail) != 0 && raw->sourceid != xtestKeyboard_) {
                    KeyAction action = cookie->evtype == XI_RawKeyRelease ? KeyAction::up : KeyAction::down;
                    if (action == KeyAction::down && (raw->flags & XIKeyRepeat) != 0) action = KeyAction::repeat;
                    sink_(KeyEvent{raw->sourceid, action});
                }
            }
            XFreeEventData(dpy, cookie);
        }
        if (connection_->lost()) {
            log_.append("FN: X11 connection lost — hotkey off");
            return;
        }
        fds[0].revents = fds[1].revents = 0;
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
    }
}

}  // namespace parlando
