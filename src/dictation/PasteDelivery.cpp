#include "dictation/PasteDelivery.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace parlando {
namespace {

struct TerminalEntry {
    std::string_view name;  // WM_CLASS instance or class, compared without case
    PasteShortcut shortcut;
};

// Terminal emulators, by WM_CLASS. Most paste the clipboard with Ctrl+Shift+V;
// xterm and rxvt only paste the primary selection, with Shift+Insert.
constexpr std::array<TerminalEntry, 30> terminals{{
    {"xterm", PasteShortcut::shiftInsert},
    {"uxterm", PasteShortcut::shiftInsert},
    {"urxvt", PasteShortcut::shiftInsert},
    {"rxvt", PasteShortcut::shiftInsert},
    {"gnome-terminal", PasteShortcut::ctrlShiftV},
    {"gnome-terminal-server", PasteShortcut::ctrlShiftV},
    {"org.gnome.console", PasteShortcut::ctrlShiftV},
    {"kgx", PasteShortcut::ctrlShiftV},
    {"org.gnome.ptyxis", PasteShortcut::ctrlShiftV},
    {"konsole", PasteShortcut::ctrlShiftV},
    {"yakuake", PasteShortcut::ctrlShiftV},
    {"xfce4-terminal", PasteShortcut::ctrlShiftV},
    {"mate-terminal", PasteShortcut::ctrlShiftV},
    {"lxterminal", PasteShortcut::ctrlShiftV},
    {"qterminal", PasteShortcut::ctrlShiftV},
    {"terminator", PasteShortcut::ctrlShiftV},
    {"tilix", PasteShortcut::ctrlShiftV},
    {"guake", PasteShortcut::ctrlShiftV},
    {"tilda", PasteShortcut::ctrlShiftV},
    {"sakura", PasteShortcut::ctrlShiftV},
    {"terminology", PasteShortcut::ctrlShiftV},
    {"kitty", PasteShortcut::ctrlShiftV},
    {"alacritty", PasteShortcut::ctrlShiftV},
    {"wezterm", PasteShortcut::ctrlShiftV},
    {"org.wezfurlong.wezterm", PasteShortcut::ctrlShiftV},
    {"foot", PasteShortcut::ctrlShiftV},
    {"st", PasteShortcut::ctrlShiftV},
    {"st-256color", PasteShortcut::ctrlShiftV},
    {"deepin-terminal", PasteShortcut::ctrlShiftV},
    {"cool-retro-term", PasteShortcut::ctrlShiftV},
}};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

const TerminalEntry* findTerminal(const WindowClass& window) {
    for (const auto& t : terminals) {
        if (equalsIgnoringCase(t.name, window.instance) || equalsIgnoringCase(t.name, window.className)) return &t;
    }
    return nullptr;
}

}  // namespace

std::string_view pasteShortcutName(PasteShortcut shortcut) {
    switch (shortcut) {
        case PasteShortcut::ctrlV: return "ctrl+v";
        case PasteShortcut::ctrlShiftV: return "ctrl+shift+v";
        case PasteShortcut::shiftInsert: return "shift+insert";
    }
    return "ctrl+v";
}

std::optional<PasteShortcut> parsePasteShortcut(std::string_view name) {
    for (auto s : {PasteShortcut::ctrlV, PasteShortcut::ctrlShiftV, PasteShortcut::shiftInsert}) {
        if (equalsIgnoringCase(name, pasteShortcutName(s))) return s;
    }
    return std::nullopt;
}

bool isTerminalWindow(const WindowClass& window) { return findTerminal(window) != nullptr; }

PasteShortcut pasteShortcutFor(const std::optional<WindowClass>& focused) {
    if (!focused) return PasteShortcut::ctrlV;
    const TerminalEntry* t = findTerminal(*focused);
    return t != nullptr ? t->shortcut : PasteShortcut::ctrlV;
}

PasteDelivery::PasteDelivery(MainLoop& loop, Log& log, Settings& settings, Clipboard& clipboard, PasteKeys& keys)
    : loop_(loop),
      log_(log),
      settings_(settings),
      clipboard_(clipboard),
      keys_(keys),
      self_(std::make_shared<PasteDelivery*>(this)) {}

PasteDelivery::~PasteDelivery() { *self_ = nullptr; }

PasteShortcut PasteDelivery::chooseShortcut(const std::optional<WindowClass>& focused) {
    const auto configured = settings_.getString(shortcutSettingKey);
    if (configured && !configured->empty() && *configured != "auto") {
        if (auto s = parsePasteShortcut(*configured)) return *s;
        log_.append("paste: unknown " + std::string(shortcutSettingKey) + " \"" + *configured + "\" — using auto");
    }
    return pasteShortcutFor(focused);
}

void PasteDelivery::paste(const std::string& text) {
    if (!clipboard_.setText(text)) {
        log_.append("paste: no clipboard — the text was not delivered");
        return;
    }
    lastWritten_ = text;
    std::weak_ptr<PasteDelivery*> weak = self_;
    // The timer is not kept: an earlier paste's shortcut still goes out when a
    // later paste comes within the delay.
    loop_.after(pasteDelay, [weak, text]() {
        auto self = weak.lock();
        if (self && *self != nullptr) (*self)->sendShortcut(text);
    });
}

void PasteDelivery::copy(const std::string& text) {
    if (clipboard_.setText(text))
        lastWritten_ = text;
    else
        log_.append("paste: no clipboard — the text was not delivered");
}

void PasteDelivery::sendShortcut(const std::string& text) {
    std::optional<std::string> withheld = keys_.unavailable();
    if (withheld && !toldNoShortcut_ && onNoShortcut_) {
        toldNoShortcut_ = true;
        onNoShortcut_(*withheld);
    }
    if (!withheld && gate_) withheld = gate_();
    if (withheld) {
        log_.append("paste: shortcut not sent — " + *withheld + "; the text is on the clipboard");
        return;
    }
    // A shortcut now would paste whatever the clipboard holds instead of ours.
    // A later dictation's text counts as ours: each paste sends its shortcut.
    if (!clipboard_.holds(lastWritten_)) {
        log_.append("paste: shortcut not sent — the clipboard does not hold the dictated text (the write was "
                    "refused or another program took the clipboard)");
        return;
    }
    const PasteShortcut shortcut = chooseShortcut(keys_.focusedWindowClass());
    // Shift+Insert pastes the primary selection in the terminals that use it.
    if (shortcut == PasteShortcut::shiftInsert) clipboard_.setPrimarySelection(text);
    std::string why;
    if (!keys_.send(shortcut, why)) {
        log_.append("paste: shortcut not sent — " + why + "; the text is on the clipboard");
    }
}

}  // namespace parlando
