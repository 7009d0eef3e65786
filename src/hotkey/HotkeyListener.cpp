#include "hotkey/HotkeyListener.h"

namespace parlando {

HotkeyListener::HotkeyListener(MainLoop& loop, Log& log, Settings& settings, KeyEdgeSource& primary,
                               KeyEdgeSource* fallback, Notifier* notifier, LoginSession* session,
                               KeyEdgeSource* portal)
    : loop_(loop),
      log_(log),
      settings_(settings),
      primary_(primary),
      tap_(loop, log, primary),
      notifier_(notifier),
      session_(session),
      portalSource_(portal) {
    if (fallback != nullptr) fallback_ = std::make_unique<FNKeyTap>(loop, log, *fallback);
    if (portal != nullptr) {
        portal_ = std::make_unique<FNKeyTap>(loop, log, *portal);
        portal->setOnLost([this](const std::string& why, const std::string& userWhy) { portalLost(why, userWhy); });
    }
}

HotkeyListener::~HotkeyListener() {
    stop();
    // The source may outlive us: nothing of ours is to be called from it.
    if (portalSource_ != nullptr) portalSource_->setOnLost(nullptr);
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
    key_ = resolveHotkey(settings_.getString(hotkeySettingKey), log_);
    keyName_ = key_.name;
    x11Visible_ = key_.x11Visible;
    portalRefusal_.clear();
    auto onPress = [this] { edge(true); };
    auto onRelease = [this] { edge(false); };
    devicesReadable_ = tap_.start(key_, onPress, onRelease);
    const bool x11Can = fallback_ && key_.x11Visible;
    const bool portalCan = portal_ && !key_.portalTrigger.empty();
    if (devicesReadable_ && (primary_.watchesKey() || (!x11Can && !portalCan))) {
        mode_ = Mode::tap;
        tellUser();
        return;
    }
    if (devicesReadable_) {
        // Readable keyboards, none with the key: the desktop may still see it.
        log_.append("FN: no keyboard we can read has the " + key_.name + " key — trying " +
                    (portalCan ? "the desktop portal" : "X11"));
        tap_.stop();
    }
    // The portal answers later (the user may be asked); portalLost() goes on
    // down the list when it gives no shortcut.
    if (portal_ && portal_->start(key_, onPress, onRelease)) {
        mode_ = Mode::portal;
        return;
    }
    startFallback();
}

void HotkeyListener::startFallback() {
    auto onPress = [this] { edge(true); };
    auto onRelease = [this] { edge(false); };
    if (!fallback_) {
        log_.append("FN: no fallback on this system — hotkey off (" + tap_.failure() + ")");
    } else if (!key_.x11Visible) {
        // The X server never sees this key: wait for the user to choose another.
        log_.append("FN: X11 fallback cannot see the " + key_.name + " key — no hotkey until another is chosen (" +
                    hotkeySettingKey + ")");
    } else if (fallback_->start(key_, onPress, onRelease)) {
        mode_ = Mode::fallback;
        log_.append("FN: X11 fallback — both edges via XInput2 raw key events (" + key_.name + " key)");
    } else {
        log_.append("FN: X11 fallback also unavailable — no hotkey; join the input group: "
                    "sudo usermod -aG input $USER, then log out and in");
    }
    // Keep waiting for a keyboard with the key to be plugged in.
    if (mode_ == Mode::none && devicesReadable_ && tap_.start(key_, onPress, onRelease)) mode_ = Mode::tap;
    tellUser();
}

void HotkeyListener::portalLost(const std::string& why, const std::string& userWhy) {
    if (mode_ != Mode::portal) return;
    log_.append("FN: desktop portal gave no shortcut for the " + key_.name + " key — " + why);
    portal_->stop();
    mode_ = Mode::none;
    portalRefusal_ = userWhy;
    startFallback();
}

void HotkeyListener::stop() {
    tap_.stop();
    if (portal_) portal_->stop();
    if (fallback_) fallback_->stop();
    mode_ = Mode::none;
}

std::optional<HotkeyProblem> HotkeyListener::problem() const {
    if (mode_ == Mode::fallback || mode_ == Mode::portal || (mode_ == Mode::tap && primary_.watchesKey()))
        return std::nullopt;
    std::string label = keyName_;
    for (const auto& k : hotkeyNames())
        if (k.name == keyName_) label = k.label;
    const std::string choose = "Выбери другую клавишу в меню Parlando → «Клавиша диктовки»";
    const std::string group = "добавь себя в группу input: sudo usermod -aG input $USER, затем перезайди в систему";
    if (mode_ == Mode::tap)
        return HotkeyProblem{"Клавиатура не сообщает о " + label + " — выбери другую клавишу",
                             "Ни одна клавиатура не сообщает о клавише " + label +
                                 " (на большинстве клавиатур ПК её обрабатывает сама клавиатура). " + choose + "."};
    if (portal_ && !portalRefusal_.empty())
        return HotkeyProblem{"Система не назначила " + label + " — нужна группа input",
                             "Parlando не может следить за клавишей " + label + ": клавиатуры нельзя читать без "
                             "группы input, а через систему клавиша не назначена — " + portalRefusal_ + ". " +
                                 choose + " или " + group + "."};
    if (portal_ && key_.portalTrigger.empty() && (!x11Visible_ || !fallback_)) {
        std::string usable;
        for (const auto& k : hotkeyNames())
            if (auto known = hotkeyKey(k.name); known && !known->portalTrigger.empty())
                usable += (usable.empty() ? "" : ", ") + std::string(k.label);
        return HotkeyProblem{label + " не назначить через систему — выбери " + usable,
                             "Parlando не видит клавишу " + label + ": клавиатуры нельзя читать без группы input, а "
                             "система назначает только обычные клавиши, не FN и не модификатор отдельно. Выбери " +
                                 usable + " в меню Parlando → «Клавиша диктовки» или " + group + "."};
    }
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
