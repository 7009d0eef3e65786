#pragma once
// The clipboard and the paste shortcut through the compositor's own protocols,
// where it offers them (wlroots compositors: sway, Hyprland, river, labwc):
// data control sets the selection without a focused window of ours, and a
// virtual keyboard types the shortcut into whatever window has the focus,
// native Wayland or XWayland alike.
//
// One connection of our own, served by a thread of its own: the compositor's
// requests for the clipboard's data must be answered while the main thread is
// busy, and no call here waits on the compositor.
#include "core/Log.h"
#include "core/MainLoop.h"
#include "dictation/PasteDelivery.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parlando {

class WaylandInput {
public:
    // displayName empty: $WAYLAND_DISPLAY.
    WaylandInput(MainLoop& loop, Log& log, std::string displayName = {});
    ~WaylandInput();
    WaylandInput(const WaylandInput&) = delete;
    WaylandInput& operator=(const WaylandInput&) = delete;

    // Connects, learns what the compositor offers and creates the virtual
    // keyboard at once: a keyboard that appears just before its first keys
    // loses them, so it is made early and kept for the life of the app.
    // onReady runs on the main thread once that is known (or failed).
    void start(std::function<void()> onReady);
    bool ready() const;

    // Each adapter says why it cannot work: nullopt once it can.
    Clipboard& clipboard();
    PasteKeys& keys();

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace parlando
