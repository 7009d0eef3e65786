#include "hotkey/HotkeyListener.h"

namespace parlando {

HotkeyListener::HotkeyListener(MainLoop& loop, Log& log, Settings& settings, KeyEdgeSource& primary,
                               KeyEdgeSource* fallback)
    : log_(log), settings_(settings), tap_(loop, log, primary), fallbackSource_(fallback) {
    if (fallbackSource_ != nullptr) fallback_ = std::make_unique<FNKeyTap>(loop, log, *fallbackSource_);
}

void HotkeyListener::start(std::function<void()> onPress, std::function<void()> onRelease) {
    onPress_ = std::move(onPress);
    onRelease_ = std::move(onRelease);
    restart();
}

bool HotkeyListener::setKey(const std::string& name) {
    if (!hotkeyKey(name)) {
        log_.append("FN: unknown hotkey \"" + name + "\" — keeping " + keyName_);
        return false;
    }
    settings_.setString(hotkeySettingKey, name);
    log_.append("FN: hotkey set to " + name);
    restart();
    return true;
}

void HotkeyListener::restart() {
    stop();
    const HotkeyKey key = resolveHotkey(settings_.getString(hotkeySettingKey), log_);
    keyName_ = key.name;
    if (tap_.start(key, onPress_, onRelease_)) {
        mode_ = Mode::tap;
        return;
    }
    if (!fallback_) {
        log_.append("FN: no fallback on this system — hotkey off (" + tap_.failure() + ")");
        return;
    }
    if (!key.x11Visible) {
        // The X server never sees this key: wait for the user to choose another.
        log_.append("FN: X11 fallback cannot see the " + key.name +
                    " key — no hotkey until another is chosen (" + hotkeySettingKey + ")");
        return;
    }
    if (fallback_->start(key, onPress_, onRelease_)) {
        mode_ = Mode::fallback;
        log_.append("FN: X11 fallback — both edges via XInput2 raw key events (" + key.name + " key)");
    } else {
        log_.append("FN: X11 fallback also unavailable — no hotkey; join the input group: "
                    "sudo usermod -aG input $USER, then log out and in");
    }
}

void HotkeyListener::stop() {
    tap_.stop();
    if (fallback_) fallback_->stop();
    mode_ = Mode::none;
}

}  // namespace parlando
