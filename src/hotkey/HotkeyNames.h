#pragma once
// The keys the dictation hotkey accepts, by their stored names.
#include <array>
#include <string_view>

namespace parlando {

struct HotkeyName {
    std::string_view name;   // value stored under "ParlandoHotkey"
    std::string_view title;  // shown in the "Клавиша диктовки" submenu
};

inline constexpr const char* hotkeySettingsKey = "ParlandoHotkey";
inline constexpr std::string_view defaultHotkeyName = "fn";

inline constexpr std::array<HotkeyName, 8> hotkeyNames = {{
    {"fn", "FN"},
    {"rightctrl", "Правый Ctrl"},
    {"rightalt", "Правый Alt"},
    {"f13", "F13"},
    {"pause", "Pause"},
    {"scrolllock", "Scroll Lock"},
    {"capslock", "Caps Lock"},
    {"insert", "Insert"},
}};

}  // namespace parlando
