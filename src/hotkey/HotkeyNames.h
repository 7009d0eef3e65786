#pragma once
// The keys the dictation hotkey may be, in one place: the name stored in the
// "ParlandoHotkey" user default, the label a menu shows, and how each platform
// recognises the key (a Linux input-event code, an X11 keysym).
#include "core/Log.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace parlando {

inline constexpr const char* hotkeySettingKey = "ParlandoHotkey";
inline constexpr const char* defaultHotkeyName = "fn";

// What a hotkey menu needs: the stored name and the text to show.
struct HotkeyName {
    std::string_view name;
    std::string_view label;
};

// Every selectable key, the default ("fn") first.
std::span<const HotkeyName> hotkeyNames();

// How the platform adapters find the key.
struct HotkeyKey {
    std::string name;
    // Code in the kernel's input-event numbering (KEY_FN, KEY_RIGHTCTRL, ...).
    int evdevCode = 0;
    // X11 keysym, 0 when the default keymap has none for the key (F13 sits on
    // XF86Tools there): the X11 side then matches the key code instead.
    std::uint32_t x11Keysym = 0;
    // False for keys the X server never sees (fn is handled below it).
    bool x11Visible = true;
    // The key as the desktop portal's global shortcuts name it ("Pause");
    // empty for keys a portal shortcut cannot be (fn, a modifier alone).
    std::string portalTrigger;
};

std::optional<HotkeyKey> hotkeyKey(std::string_view name);

// The configured name made usable: absent means "fn"; an unknown name means
// "fn" too, with a log line saying so.
HotkeyKey resolveHotkey(const std::optional<std::string>& configured, Log& log);

}  // namespace parlando
