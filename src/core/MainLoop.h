#pragma once
// The main-thread event loop as the core sees it: posting work, timers, clocks.
// Real programs use the Qt loop; tests use VirtualMainLoop and move time by hand.
#include <chrono>
#include <cstdint>
#include <functional>

namespace parlando {

using Duration = std::chrono::nanoseconds;
// Monotonic time since an arbitrary origin fixed by the loop.
using MonoTime = std::chrono::nanoseconds;
using WallTime = std::chrono::system_clock::time_point;
using TimerId = std::uint64_t;

constexpr Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
constexpr Duration millis(std::int64_t ms) { return std::chrono::milliseconds(ms); }
inline double toSeconds(Duration d) { return std::chrono::duration<double>(d).count(); }

class MainLoop {
public:
    virtual ~MainLoop() = default;

    // Queue fn to run on the main thread. Callable from any thread; never runs fn inline.
    virtual void post(std::function<void()> fn) = 0;

    // Timers: main thread only. A cancelled or already fired one-shot id is ignored by cancel().
    virtual TimerId after(Duration delay, std::function<void()> fn) = 0;
    virtual TimerId every(Duration interval, std::function<void()> fn) = 0;
    virtual void cancel(TimerId id) = 0;

    virtual MonoTime now() const = 0;
    virtual WallTime wallNow() const = 0;
    virtual bool isMainThread() const = 0;
};

// Owns a timer id and cancels it when reset or destroyed, so a component's
// timers never outlive it.
class ScopedTimer {
public:
    ScopedTimer() = default;
    explicit ScopedTimer(MainLoop& loop) : loop_(&loop) {}
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;
    ScopedTimer(ScopedTimer&& other) noexcept : loop_(other.loop_), id_(other.id_) { other.id_ = 0; }
    ScopedTimer& operator=(ScopedTimer&& other) noexcept {
        if (this != &other) {
            reset();
            loop_ = other.loop_;
            id_ = other.id_;
            other.id_ = 0;
        }
        return *this;
    }
    ~ScopedTimer() { reset(); }

    void startOnce(MainLoop& loop, Duration delay, std::function<void()> fn) {
        reset();
        loop_ = &loop;
        id_ = loop.after(delay, std::move(fn));
    }
    void startRepeating(MainLoop& loop, Duration interval, std::function<void()> fn) {
        reset();
        loop_ = &loop;
        id_ = loop.every(interval, std::move(fn));
    }
    void reset() {
        if (id_ != 0 && loop_ != nullptr) loop_->cancel(id_);
        id_ = 0;
    }
    // Forget the id without cancelling: for a one-shot that has just fired.
    void release() { id_ = 0; }
    bool active() const { return id_ != 0; }

private:
    MainLoop* loop_ = nullptr;
    TimerId id_ = 0;
};

}  // namespace parlando
