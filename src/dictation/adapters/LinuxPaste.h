#pragma once
// Paste delivery on a Linux desktop. The clipboard and the shortcut are chosen
// on their own, in the order that suits the session: Wayland's own protocols
// first where the compositor has them, X11 (Qt's clipboard, XTest) where X
// windows are all there is or as the last resort. One object for the
// composition root to own; needs the QGuiApplication to exist.
#include "core/DisplaySession.h"
#include "dictation/PasteDelivery.h"
#include "dictation/PasteRoutes.h"
#include "dictation/adapters/PortalPasteKeys.h"
#include "dictation/adapters/QtClipboard.h"
#include "dictation/adapters/UinputPasteKeys.h"
#include "dictation/adapters/WaylandInput.h"
#include "dictation/adapters/X11PasteKeys.h"

#include <functional>
#include <memory>

namespace parlando {

class LinuxPaste {
public:
    static constexpr const char* xtestUnderWayland = "XTest (X windows only)";

    LinuxPaste(MainLoop& loop, Log& log, Settings& settings, DisplaySession session = currentDisplaySession())
        : wayland_(session == DisplaySession::waylandWithXWayland || session == DisplaySession::waylandOnly
                       ? std::make_unique<WaylandInput>(loop, log)
                       : nullptr),
          portal_(wayland_ ? std::make_unique<PortalPasteKeys>(log, settings) : nullptr),
          routes_(log, clipboardsFor(session), keysFor(session)),
          delivery_(loop, log, settings, routes_.clipboard(), routes_.keys()) {}

    // Connects to the compositor where there is one; onDecided runs on the
    // main thread once the clipboard and the key path are chosen.
    void start(std::function<void()> onDecided) {
        if (!wayland_) {
            routes_.decide();
            if (onDecided) onDecided();
            return;
        }
        wayland_->start([this, onDecided = std::move(onDecided)]() mutable {
            auto decide = [this, onDecided = std::move(onDecided)] {
                routes_.decide();
                if (onDecided) onDecided();
            };
            // The portal asks the user, so only when the compositor's own
            // keyboard is not there. A paste before the answer decides without it.
            if (!wayland_->keys().unavailable() || !portal_) {
                decide();
                return;
            }
            portal_->start(std::move(decide));
        });
    }

    PasteDelivery& delivery() { return delivery_; }
    PasteRoutes& routes() { return routes_; }

private:
    std::vector<PasteRoutes::ClipboardOption> clipboardsFor(DisplaySession session) {
        std::vector<PasteRoutes::ClipboardOption> options;
        if (wayland_) options.push_back({"Wayland data control", &wayland_->clipboard()});
        options.push_back({session == DisplaySession::waylandOnly ? "Qt (Wayland)" : "Qt (X11)", &qtClipboard_});
        return options;
    }
    std::vector<PasteRoutes::KeysOption> keysFor(DisplaySession session) {
        std::vector<PasteRoutes::KeysOption> options;
        if (wayland_) options.push_back({"Wayland virtual keyboard", &wayland_->keys()});
        if (portal_) options.push_back({"desktop portal (RemoteDesktop)", portal_.get()});
        if (session == DisplaySession::x11) options.push_back({"XTest", &x11Keys_});
        options.push_back({"uinput keyboard", &uinput_});
        if (session == DisplaySession::waylandWithXWayland) options.push_back({xtestUnderWayland, &x11Keys_});
        return options;
    }

    QtClipboard qtClipboard_;
    X11PasteKeys x11Keys_;
    UinputPasteKeys uinput_;
    std::unique_ptr<WaylandInput> wayland_;
    std::unique_ptr<PortalPasteKeys> portal_;
    PasteRoutes routes_;
    PasteDelivery delivery_;
};

}  // namespace parlando
