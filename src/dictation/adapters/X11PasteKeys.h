#pragma once
// The paste shortcut through XTest, on a connection of our own: key events
// enter the server as if typed. Which window gets them is the server's
// business (the focused one); we only read its WM_CLASS to pick the shortcut.
#include "dictation/PasteDelivery.h"

#include <memory>
#include <string>

namespace parlando {

class X11Connection;

class X11PasteKeys final : public PasteKeys {
public:
    // displayName empty: $DISPLAY. Without a display every shortcut is refused
    // with the reason.
    explicit X11PasteKeys(std::string displayName = {});
    ~X11PasteKeys() override;

    std::optional<std::string> unavailable() override;
    std::optional<WindowClass> focusedWindowClass() override;
    bool send(PasteShortcut shortcut, std::string& why) override;

private:
    bool connect();

    std::string displayName_;
    std::unique_ptr<X11Connection> connection_;
    std::string unavailable_;
};

}  // namespace parlando
