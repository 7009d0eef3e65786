#include "dictation/adapters/X11PasteKeys.h"

#include "core/adapters/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <array>
#include <set>
#include <vector>

namespace parlando {

X11PasteKeys::X11PasteKeys(std::string displayName) : displayName_(std::move(displayName)) { connect(); }

X11PasteKeys::~X11PasteKeys() = default;

bool X11PasteKeys::connect() {
    connection_ = std::make_unique<X11Connection>(displayName_);
    if (connection_->display() == nullptr) {
        unavailable_ = X11Connection::whyNoDisplay(displayName_);
        connection_.reset();
        return false;
    }
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(connection_->display(), &event, &error, &major, &minor)) {
        unavailable_ = "the X server has no XTEST extension";
        connection_.reset();
        return false;
    }
    unavailable_.clear();
    return true;
}

std::optional<std::string> X11PasteKeys::unavailable() {
    // A restarted X server (or one that came up after us) gets a new connection.
    if (!connection_ || connection_->lost()) {
        if (!connect()) return unavailable_;
    }
    return std::nullopt;
}

namespace {

std::optional<WindowClass> classOf(Display* dpy, Window w) {
    XClassHint hint{nullptr, nullptr};
    if (XGetClassHint(dpy, w, &hint) == 0) return std::nullopt;
    WindowClass out{hint.res_name ? hint.res_name : "", hint.res_class ? hint.res_class : ""};
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    return out;
}

// The focused window, or the nearest ancestor that names its class (focus may
// sit on a child of the application's top-level window).
std::optional<WindowClass> classUpwards(Display* dpy, Window w) {
    const Window root = DefaultRootWindow(dpy);
    for (int depth = 0; w != None && w != root && depth < 64; ++depth) {
        if (auto c = classOf(dpy, w)) return c;
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(dpy, w, &rootReturn, &parent, &children, &count) == 0) return std::nullopt;
        if (children) XFree(children);
        w = parent;
    }
    return std::nullopt;
}

std::optional<Window> activeWindow(Display* dpy) {
    const Atom prop = XInternAtom(dpy, "_NET_ACTIVE_WINDOW", True);
    if (prop == None) return std::nullopt;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), prop, 0, 1, False, XA_WINDOW, &type, &format, &items, &after,
                           &data) != Success) {
        return std::nullopt;
    }
    std::optional<Window> w;
    if (data != nullptr && items == 1 && format == 32) w = *reinterpret_cast<Window*>(data);
    if (data) XFree(data);
    return w;
}

}  // namespace

std::optional<WindowClass> X11PasteKeys::focusedWindowClass() {
    if (unavailable()) return std::nullopt;
    Display* dpy = connection_->display();
    Window focus = None;
    int revert = 0;
    XGetInputFocus(dpy, &focus, &revert);
    if (focus == PointerRoot) {
        // Keys go to the window under the pointer.
        Window root = None, child = None;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned int mask = 0;
        XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &rx, &ry, &wx, &wy, &mask);
        focus = child;
    }
    if (auto c = classUpwards(dpy, focus)) return c;
    if (auto active = activeWindow(dpy)) return classUpwards(dpy, *active);
    return std::nullopt;
}

bool X11PasteKeys::send(PasteShortcut shortcut, std::string& why) {
    if (auto reason = unavailable()) {
        why = *reason;
        return false;
    }
    Display* dpy = connection_->display();
    std::vector<KeySym> syms;
    switch (shortcut) {
        case PasteShortcut::ctrlV: syms = {XK_Control_L, XK_v}; break;
        case PasteShortcut::ctrlShiftV: syms = {XK_Control_L, XK_Shift_L, XK_v}; break;
        case PasteShortcut::shiftInsert: syms = {XK_Shift_L, XK_Insert}; break;
    }
    std::vector<KeyCode> codes;
    for (KeySym s : syms) {
        const KeyCode code = XKeysymToKeycode(dpy, s);
        if (code == 0) {
            why = std::string("the keymap has no ") + XKeysymToString(s) + " key";
            return false;
        }
        codes.push_back(code);
    }

    // Modifiers the user still holds (the hotkey, Alt, Super) would turn the
    // shortcut into another one: let go of them first.
    std::array<char, 32> pressed{};
    XQueryKeymap(dpy, pressed.data());
    std::set<KeyCode> released;
    if (XModifierKeymap* map = XGetModifierMapping(dpy)) {
        for (int i = 0; i < 8 * map->max_keypermod; ++i) {
            const KeyCode code = map->modifiermap[i];
            if (code == 0 || released.count(code) != 0) continue;
            if ((pressed[code / 8] >> (code % 8)) & 1) {
                XTestFakeKeyEvent(dpy, code, False, CurrentTime);
                released.insert(code);
            }
        }
        XFreeModifiermap(map);
    }

    for (KeyCode code : codes) XTestFakeKeyEvent(dpy, code, True, CurrentTime);
    for (auto it = codes.rbegin(); it != codes.rend(); ++it) XTestFakeKeyEvent(dpy, *it, False, CurrentTime);
    XSync(dpy, False);
    if (connection_->lost()) {
        why = "the X server went away";
        return false;
    }
    return true;
}

}  // namespace parlando
