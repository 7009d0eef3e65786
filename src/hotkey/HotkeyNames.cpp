#include "hotkey/HotkeyNames.h"

#include <array>

namespace parlando {
namespace {

struct Entry {
    HotkeyName shown;
    int evdevCode;
    std::uint32_t x11Keysym;
    bool x11Visible;
    std::string_view portalTrigger;
};

// Input-event codes are the kernel's (linux/input-event-codes.h), keysyms
// X11's (X11/keysymdef.h); the adapters check them against those headers.
// Portal triggers are xkbcommon keysym names, the form the desktop portal's
// shortcuts take: a set of CTRL, ALT, SHIFT, NUM, LOGO and one key. fn has no
// keysym a desktop sees; a modifier alone is not a key there (CTRL is either
// Ctrl, so "right" cannot be said), and Caps Lock is the Lock modifier's key.
constexpr std::array<Entry, 8> entries{{
    {{"fn", "FN"}, 0x1d0, 0, false, ""},                              // KEY_FN: never reaches X
    {{"rightctrl", "Правый Ctrl"}, 97, 0xffe4, true, ""},             // KEY_RIGHTCTRL, XK_Control_R
    {{"rightalt", "Правый Alt"}, 100, 0xffea, true, ""},              // KEY_RIGHTALT, XK_Alt_R
    {{"f13", "F13"}, 183, 0, true, "F13"},                            // KEY_F13: no keysym by default
    {{"pause", "Pause"}, 119, 0xff13, true, "Pause"},                 // KEY_PAUSE, XK_Pause
    {{"scrolllock", "Scroll Lock"}, 70, 0xff14, true, "Scroll_Lock"}, // KEY_SCROLLLOCK, XK_Scroll_Lock
    {{"capslock", "Caps Lock"}, 58, 0xffe5, true, ""},                // KEY_CAPSLOCK, XK_Caps_Lock
    {{"insert", "Insert"}, 110, 0xff63, true, "Insert"},              // KEY_INSERT, XK_Insert
}};

constexpr std::array<HotkeyName, entries.size()> names = [] {
    std::array<HotkeyName, entries.size()> out{};
    for (std::size_t i = 0; i < entries.size(); ++i) out[i] = entries[i].shown;
    return out;
}();

}  // namespace

std::span<const HotkeyName> hotkeyNames() { return names; }

std::optional<HotkeyKey> hotkeyKey(std::string_view name) {
    for (const auto& e : entries) {
        if (e.shown.name == name)
            return HotkeyKey{std::string(name), e.evdevCode, e.x11Keysym, e.x11Visible, std::string(e.portalTrigger)};
    }
    return std::nullopt;
}

HotkeyKey resolveHotkey(const std::optional<std::string>& configured, Log& log) {
    if (configured) {
        if (auto key = hotkeyKey(*configured)) return *key;
        log.append("FN: unknown hotkey \"" + *configured + "\" in " + hotkeySettingKey + " — using " +
                   defaultHotkeyName);
    }
    return *hotkeyKey(defaultHotkeyName);
}

}  // namespace parlando
