#pragma once
// Puts dictated text into whatever window has the keyboard focus: the text goes
// on the clipboard, and a moment later a synthetic paste shortcut is typed at
// the system's input level, as if the user had typed it. The clipboard is not
// restored afterwards.
#include "core/Log.h"
#include "core/MainLoop.h"
#include "core/Settings.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace parlando {

enum class PasteShortcut { ctrlV, ctrlShiftV, shiftInsert };

// "ctrl+v", "ctrl+shift+v", "shift+insert": the values of "ParlandoPasteShortcut".
std::string_view pasteShortcutName(PasteShortcut shortcut);
std::optional<PasteShortcut> parsePasteShortcut(std::string_view name);

// A top-level window's WM_CLASS: instance name and class name.
struct WindowClass {
    std::string instance;
    std::string className;
};

// The shortcut a window pastes with when nothing is configured. Terminal
// emulators keep Ctrl+V for the terminal program; the list lives here.
PasteShortcut pasteShortcutFor(const std::optional<WindowClass>& focused);
bool isTerminalWindow(const WindowClass& window);

// The system clipboard.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    // nullopt when this clipboard can be used; else why not, for a log line.
    virtual std::optional<std::string> unavailable() { return std::nullopt; }
    // Replaces the clipboard's contents with `text` as plain text. We stay the
    // owner, so the paste is served. False when there is no clipboard at all.
    virtual bool setText(const std::string& text) = 0;
    // The primary selection, what Shift+Insert pastes in xterm and rxvt. False
    // when the system has none.
    virtual bool setPrimarySelection(const std::string& text) = 0;
    // Whether we still own the clipboard and it holds `text`: a write can be
    // refused while reported as done, or another program can take it over.
    virtual bool holds(const std::string& text) = 0;
};

// Synthetic keyboard input into the focused window.
class PasteKeys {
public:
    virtual ~PasteKeys() = default;
    // nullopt when shortcuts can be sent; else why not, for a log line.
    virtual std::optional<std::string> unavailable() = 0;
    virtual std::optional<WindowClass> focusedWindowClass() = 0;
    // Lets go of modifiers the user still holds (a held Alt or Super makes the
    // target ignore the shortcut), then types the shortcut. False on failure,
    // with the reason in `why`.
    virtual bool send(PasteShortcut shortcut, std::string& why) = 0;
};

class PasteDelivery {
public:
    static constexpr const char* shortcutSettingKey = "ParlandoPasteShortcut";
    static constexpr Duration pasteDelay = millis(50);

    PasteDelivery(MainLoop& loop, Log& log, Settings& settings, Clipboard& clipboard, PasteKeys& keys);
    ~PasteDelivery();
    PasteDelivery(const PasteDelivery&) = delete;
    PasteDelivery& operator=(const PasteDelivery&) = delete;

    // Main thread. Writes the clipboard now and types the shortcut pasteDelay
    // later; returns at once. Consecutive pastes each type their own shortcut,
    // which pastes whatever the clipboard holds by then.
    void paste(const std::string& text);
    // Main thread. The clipboard only: no shortcut follows.
    void copy(const std::string& text);
    // Asked just before each shortcut: a reason to withhold it (the text
    // stays on the clipboard), or none.
    void setShortcutGate(std::function<std::optional<std::string>()> gate) { gate_ = std::move(gate); }
    // Called the first time no shortcut can be typed at all, with the reason:
    // the user has to paste by hand and should hear so once, not every time.
    void setOnNoShortcut(std::function<void(const std::string& why)> fn) { onNoShortcut_ = std::move(fn); }

    // The shortcut for the focused window under the current setting.
    PasteShortcut chooseShortcut(const std::optional<WindowClass>& focused);

private:
    void sendShortcut(const std::string& text);

    MainLoop& loop_;
    Log& log_;
    Settings& settings_;
    Clipboard& clipboard_;
    PasteKeys& keys_;
    std::function<std::optional<std::string>()> gate_;
    std::function<void(const std::string&)> onNoShortcut_;
    bool toldNoShortcut_ = false;
    std::string lastWritten_;  // what we last put on the clipboard
    std::shared_ptr<PasteDelivery*> self_;  // pending shortcuts find it empty once we are gone
};

}  // namespace parlando
