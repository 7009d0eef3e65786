#include "core/adapters/QtMainLoop.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace parlando {

QtMainLoop::QtMainLoop()
    : context_(std::make_unique<QObject>()), thread_(QThread::currentThread()), origin_(std::chrono::steady_clock::now()) {}

QtMainLoop::~QtMainLoop() {
    // Timer callbacks and posted work may own objects whose destructors
    // cancel timers: take the table out of their way before dropping them.
    while (!timers_.empty()) {
        auto timers = std::move(timers_);
        timers_.clear();
        for (auto& [id, timer] : timers) delete timer;
    }
    context_.reset();
    for (auto& [id, timer] : timers_) delete timer;
}

void QtMainLoop::post(std::function<void()> fn) {
    if (!context_) return;  // the loop is going away
    QMetaObject::invokeMethod(context_.get(), std::move(fn), Qt::QueuedConnection);
}

TimerId QtMainLoop::start(Duration interval, bool repeating, std::function<void()> fn) {
    const TimerId id = nextId_++;
    auto* timer = new QTimer();
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!repeating);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(interval).count();
    timer->setInterval(static_cast<int>(std::max<std::int64_t>(repeating ? 1 : 0, ms)));
    QObject::connect(timer, &QTimer::timeout, context_.get(), [this, id, repeating, fn = std::move(fn)]() {
        if (!repeating) {
            // Forget the one-shot before running it, so fn may start new timers
            // and a later cancel(id) is harmless.
            auto it = timers_.find(id);
            if (it != timers_.end()) {
                it->second->deleteLater();
                timers_.erase(it);
            }
            auto copy = fn;
            copy();
            return;
        }
        fn();
    });
    timers_.emplace(id, timer);
    timer->start();
    return id;
}

TimerId QtMainLoop::after(Duration delay, std::function<void()> fn) { return start(delay, false, std::move(fn)); }

TimerId QtMainLoop::every(Duration interval, std::function<void()> fn) { return start(interval, true, std::move(fn)); }

void QtMainLoop::cancel(TimerId id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second->stop();
    // The timer may be the one whose callback is running right now.
    it->second->deleteLater();
    timers_.erase(it);
}

MonoTime QtMainLoop::now() const {
    return std::chrono::duration_cast<MonoTime>(std::chrono::steady_clock::now() - origin_);
}

WallTime QtMainLoop::wallNow() const { return std::chrono::system_clock::now(); }

bool QtMainLoop::isMainThread() const { return QThread::currentThread() == thread_; }

}  // namespace parlando
