#pragma once
// A main loop whose clock only moves when a test says so. advanceBy() runs every
// due timer and posted function in deadline order (ties in the order they were
// scheduled), so hours of timer behaviour run in microseconds, deterministically.
#include "core/MainLoop.h"

#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace parlando {

class VirtualMainLoop final : public MainLoop {
public:
    explicit VirtualMainLoop(WallTime wallOrigin = WallTime(std::chrono::seconds(1'800'000'000)));

    void post(std::function<void()> fn) override;
    TimerId after(Duration delay, std::function<void()> fn) override;
    TimerId every(Duration interval, std::function<void()> fn) override;
    void cancel(TimerId id) override;
    MonoTime now() const override;
    WallTime wallNow() const override;
    bool isMainThread() const override;

    // Run everything due up to now + d, moving the clock to each deadline as it fires.
    void advanceBy(Duration d);
    // Run what is due now (posted work and expired timers) without moving the clock.
    void runPending();
    // Advance in small steps until pred() holds or `limit` of virtual time has passed.
    // Returns pred()'s final value. Real time passes too (for other threads' posts).
    bool runUntil(const std::function<bool()>& pred, Duration limit, Duration step = millis(10));

    std::size_t pendingTimers() const;
    // Make the calling thread the main thread (the constructing thread is by default).
    void adoptCurrentThread();

private:
    struct Timer {
        MonoTime deadline;
        Duration interval;  // zero for one-shot
        std::function<void()> fn;
    };
    using Key = std::pair<MonoTime, std::uint64_t>;  // deadline, sequence

    bool runOneDue(MonoTime limit);
    void drainPosted();

    WallTime wallOrigin_;
    MonoTime now_{0};
    std::uint64_t nextSeq_ = 1;
    TimerId nextId_ = 1;
    std::map<Key, TimerId> queue_;
    std::map<TimerId, std::pair<Key, Timer>> timers_;
    mutable std::mutex postedMutex_;
    std::deque<std::function<void()>> posted_;
    std::thread::id mainThread_;
};

}  // namespace parlando
