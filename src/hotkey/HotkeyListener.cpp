#include "hotkey/HotkeyListener.h"

namespace parlando {

HotkeyListener::HotkeyListener(MainLoop& loop, Log& log, Settings& settings, KeyEdgeSource& primary,
                               KeyEdgeSource* fallback, Notifier* notifier, LoginSession* session)
    : loop_(loop),
      log_(log),
      settings_(settings),
      primary_(primary),
      tap_(loop, log, primary),
      notifier_(notifier),
      session_(session) {
    if (fallback != nullptr) fallback_ = std::make_unique<FNKeyTap>(loop, log, *fallback);
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

void HotkeyListener::edge(bool press) {
    // The devices report keys typed in any session: another user's after a
    // VT switch, or ours behind the lock screen.
    if (session_ != nullptr && !session_->inFront()) {
        if (press) log_.append("FN ignored: session locked or not in front");
        return;
    }
    const auto& callback = press ? onPress_ : onRelease_;
    if (callback) callback();
}

void HotkeyListener::restart() {
    stop();
    const HotkeyKey key = resolveHotkey(settings_.getString(hotkeySettingKey), log_);
    keyName_ = key.name;
    x11Visible_ = key.x11Visible;
    auto onPress = [this] { edge(true); };
    auto onRelease = [this] { edge(false); };
    const bool tapped = tap_.start(key, onPress, onRelease);
    if (tapped && (primary_.watchesKey() || !key.x11Visible || !fallback_)) {
        mode_ = Mode::tap;
        tellUser();
        return;
    }
    if (tapped) {
        // Readable keyboards, none with the key: the X server may still see it.
        log_.append("FN: no keyboard we can read has the " + key.name + " key — trying X11");
        tap_.stop();
    }
    if (!fallback_) {
        log_.append("FN: no fallback on this system — hotkey off (" + tap_.failure() + ")");
    } else if (!key.x11Visible) {
        // The X server never sees this key: wait for the user to choose another.
        log_.append("FN: X11 fallback cannot see the " + key.name + " key — no hotkey until another is chosen (" +
                    hotkeySettingKey + ")");
    } else if (fallback_->start(key, onPress, onRelease)) {
        mode_ = Mode::fallback;
        log_.append("FN: X11 fallback — both edges via XInput2 raw key events (" + key.name + " key)");
    } else {
        log_.append("FN: X11 fallback also unavailable — no hotkey; join the input group: "
                    "sudo usermod -aG input $USER, then log out and in");
    }
    // Keep waiting for a keyboard with the key to be plugged in.
    if (mode_ == Mode::none && tapped && tap_.start(key, onPress, onRelease)) mode_ = Mode::tap;
    tellUser();
}

void HotkeyListener::stop() {
    tap_.stop();
    if (fallback_) fallback_->stop();
    mode_ = Mode::none;
}

std::optional<HotkeyProblem> HotkeyListener::problem() const {
    if (mode_ == Mode::fallback || (mode_ == Mode::tap && primary_.watchesKey())) return std::nullopt;
    std::string label = keyName_;
    for (const auto& k : hotkeyNames())
        if (k.name == keyName_) label = k.label;
    const std::string choose = "Выбери другую клавишу в меню Parlando → «Клавиша диктовки»";
    const std::string group = "добавь себя в группу input: sudo usermod -aG input $USER, затем перезайди в систему";
    if (mode_ == Mode::tap)
        return HotkeyProblem{"Клавиатура не сообщает о " + label + " — выбери другую клавишу",
                             "Ни одна клавиатура не сообщает о клавише " + label +
                                 " (на большинстве клавиатур ПК её обрабатывает сама клавиатура). " + choose + "."};
    if (!x11Visible_)
        return HotkeyProblem{label + " не видна без группы input — выбери другую клавишу",
                             "Parlando не видит клавишу " + label + ": клавиатуры нельзя читать без группы input, а "
                             "X11 эту клавишу не показывает. " + choose + " или " + group + "."};
    return HotkeyProblem{"Нет доступа к клавиатурам — нужна группа input",
                         "Parlando не может следить за клавишей " + label + ": нет доступа ни к клавиатурам, ни к "
                         "X11. Чтобы читать клавиатуры, " + group + "."};
}

void HotkeyListener::tellUser() {
    const auto why = problem();
    if (!why || !told_.insert(keyName_).second) return;
    log_.append("FN: the " + keyName_ + " key cannot work here — telling the user");
    if (notifier_ == nullptr) return;
    Log& log = log_;
    notifier_->post(Notification{hotkeyProblemTitle, why->body, hotkeyProblemIdentifier, true},
                    [&log](const std::optional<std::string>& error) {
                        if (error) log.append("FN: notification post failed — " + *error);
                    });
}

}  // namespace parlando
