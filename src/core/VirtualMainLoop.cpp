#include "core/VirtualMainLoop.h"

namespace parlando {

VirtualMainLoop::VirtualMainLoop(WallTime wallOrigin)
    : wallOrigin_(wallOrigin), mainThread_(std::this_thread::get_id()) {}

void VirtualMainLoop::post(std::function<void()> fn) {
    std::lock_guard lock(postedMutex_);
    posted_.push_back(std::move(fn));
}

TimerId VirtualMainLoop::after(Duration delay, std::function<void()> fn) {
    if (delay < Duration::zero()) delay = Duration::zero();
    const TimerId id = nextId_++;
    const Key key{now_ + delay, nextSeq_++};
    queue_.emplace(key, id);
    timers_.emplace(id, std::make_pair(key, Timer{key.first, Duration::zero(), std::move(fn)}));
    return id;
}

TimerId VirtualMainLoop::every(Duration interval, std::function<void()> fn) {
    // A zero interval would spin forever inside one advance.
    if (interval <= Duration::zero()) interval = Duration(1);
    const TimerId id = nextId_++;
    const Key key{now_ + interval, nextSeq_++};
    queue_.emplace(key, id);
    timers_.emplace(id, std::make_pair(key, Timer{key.first, interval, std::move(fn)}));
    return id;
}

void VirtualMainLoop::cancel(TimerId id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    queue_.erase(it->second.first);
    timers_.erase(it);
}

MonoTime VirtualMainLoop::now() const { return now_; }

WallTime VirtualMainLoop::wallNow() const {
    return wallOrigin_ + std::chrono::duration_cast<WallTime::duration>(now_);
}

bool VirtualMainLoop::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

void VirtualMainLoop::adoptCurrentThread() { mainThread_ = std::this_thread::get_id(); }

void VirtualMainLoop::drainPosted() {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(postedMutex_);
            if (posted_.empty()) return;
            fn = std::move(posted_.front());
            posted_.pop_front();
        }
        fn();
    }
}

bool VirtualMainLoop::runOneDue(MonoTime limit) {
    if (queue_.empty()) return false;
    auto first = queue_.begin();
    if (first->first.first > limit) return false;
    const TimerId id = first->second;
    queue_.erase(first);
    auto it = timers_.find(id);
    if (it == timers_.end()) return true;
    now_ = it->second.first.first;
    std::function<void()> fn;
    if (it->second.second.interval > Duration::zero()) {
        // Re-arm before running so the callback may cancel its own timer.
        const Key next{now_ + it->second.second.interval, nextSeq_++};
        it->second.first = next;
        queue_.emplace(next, id);
        fn = it->second.second.fn;
    } else {
        fn = std::move(it->second.second.fn);
        timers_.erase(it);
    }
    fn();
    return true;
}

void VirtualMainLoop::runPending() {
    drainPosted();
    while (runOneDue(now_)) drainPosted();
    drainPosted();
}

void VirtualMainLoop::advanceBy(Duration d) {
    const MonoTime target = now_ + d;
    drainPosted();
    while (runOneDue(target)) drainPosted();
    now_ = target;
    drainPosted();
}

bool VirtualMainLoop::runUntil(const std::function<bool()>& pred, Duration limit, Duration step) {
    const MonoTime end = now_ + limit;
    runPending();
    while (!pred() && now_ < end) {
        advanceBy(std::min(step, end - now_));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return pred();
}

std::size_t VirtualMainLoop::pendingTimers() const { return timers_.size(); }

}  // namespace parlando
