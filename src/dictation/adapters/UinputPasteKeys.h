#pragma once
// The paste shortcut through a keyboard device of our own in the kernel
// (/dev/uinput): the compositor reads it like any other keyboard, so it works
// on every desktop, X11 or Wayland, as long as the user may write the device
// (the uinput module loaded and a udev rule granting access, e.g. the input
// group on some distributions). No keymap is sent: the compositor applies the
// user's layout to our keys, and Ctrl+V is matched by the Latin layout as it
// is for a physical keyboard.
#include "dictation/PasteDelivery.h"

#include <string>

namespace parlando {

class UinputPasteKeys final : public PasteKeys {
public:
    explicit UinputPasteKeys(std::string path = "/dev/uinput");
    ~UinputPasteKeys() override;
    UinputPasteKeys(const UinputPasteKeys&) = delete;
    UinputPasteKeys& operator=(const UinputPasteKeys&) = delete;

    // The first call creates the device; the paste's choice at start-up makes
    // that call, long before the first keys, so the compositor has taken the
    // new keyboard in by then.
    std::optional<std::string> unavailable() override;
    // A kernel device knows nothing of windows.
    std::optional<WindowClass> focusedWindowClass() override { return std::nullopt; }
    bool send(PasteShortcut shortcut, std::string& why) override;

private:
    bool writeEvent(unsigned short type, unsigned short code, int value);

    std::string path_;
    int fd_ = -1;
    bool tried_ = false;
    std::string why_;
};

}  // namespace parlando
