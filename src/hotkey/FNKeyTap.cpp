#include "hotkey/FNKeyTap.h"

namespace parlando {

FNKeyTap::FNKeyTap(MainLoop& loop, Log& log, KeyEdgeSource& source)
    : loop_(loop), log_(log), source_(source), storage_(std::make_shared<Storage>()) {}

FNKeyTap::~FNKeyTap() { stop(); }

bool FNKeyTap::start(const HotkeyKey& key, std::function<void()> onPress, std::function<void()> onRelease) {
    stop();
    storage_->onPress = std::move(onPress);
    storage_->onRelease = std::move(onRelease);
    auto storage = storage_;
    MainLoop* loop = &loop_;
    auto failure = source_.start(key, [loop, storage](const KeyEvent& event) { handle(*loop, storage, event); });
    if (failure) {
        failure_ = *failure;
        log_.append("FN: " + source_.name() + " tap failed — " + failure_);
        return false;
    }
    failure_.clear();
    installed_ = true;
    log_.append("FN: " + source_.name() + " tap installed (" + key.name + " key)");
    return true;
}

void FNKeyTap::stop() {
    source_.stop();
    installed_ = false;
    // Blocks already queued hold the old storage and find its callbacks gone.
    storage_->onPress = nullptr;
    storage_->onRelease = nullptr;
    storage_ = std::make_shared<Storage>();
}

void FNKeyTap::handle(MainLoop& loop, const std::shared_ptr<Storage>& storage, const KeyEvent& event) {
    bool press = false, release = false;
    {
        std::lock_guard lock(storage->mutex);
        switch (event.action) {
            case KeyAction::down: storage->held.insert(event.device); break;
            case KeyAction::up:
            case KeyAction::deviceGone: storage->held.erase(event.device); break;
            case KeyAction::repeat: return;
        }
        const bool fn = !storage->held.empty();
        if (fn && !storage->lastFnDown) {
            storage->lastFnDown = true;
            press = true;
        } else if (!fn && storage->lastFnDown) {
            storage->lastFnDown = false;
            release = true;
        }
    }
    if (!press && !release) return;
    std::weak_ptr<Storage> weak = storage;
    loop.post([weak, press]() {
        auto s = weak.lock();
        if (!s) return;
        // Read when the block runs: after stop() there is nothing to call. A copy,
        // because the callback may itself stop or restart the tap.
        auto callback = press ? s->onPress : s->onRelease;
        if (callback) callback();
    });
}

}  // namespace parlando
