#include "hotkey/HotkeyNames.h"

#include <array>

namespace parlando {
namespace {

struct Entry {
    HotkeyName shown;
    int evdevCode;
    std::uint32_t x11Keysym;
    bool x11Visible;
};

// Input-event codes are the kernel's (linux/input-event-codes.h), keysyms
// X11's (X11/keysymdef.h); the adapters check them against those headers.
constexpr std::array<Entry, 8> entries{{
    {{"fn", "FN"}, 0x1d0, 0, false},                          // KEY_FN: never reaches X
    {{"rightctrl", "Правый Ctrl"}, 97, 0xffe4, true},         // KEY_RIGHTCTRL, XK_Control_R
    {{"rightalt", "Правый Alt"}, 100, 0xffea, true},          // KEY_RIGHTALT, XK_Alt_R
    {{"f13", "F13"}, 183, 0, true},                           // KEY_F13: no keysym by default
    {{"pause", "Pause"}, 119, 0xff13, true},                  // KEY_PAUSE, XK_Pause
    {{"scrolllock", "Scroll Lock"}, 70, 0xff14, true},        // KEY_SCROLLLOCK, XK_Scroll_Lock
    {{"capslock", "Caps Lock"}, 58, 0xffe5, true},            // KEY_CAPSLOCK, XK_Caps_Lock
    {{"insert", "Insert"}, 110, 0xff63, true},                // KEY_INSERT, XK_Insert
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
        if (e.shown.name == name) return HotkeyKey{std::string(name), e.evdevCode, e.x11Keysym, e.x11Visible};
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
