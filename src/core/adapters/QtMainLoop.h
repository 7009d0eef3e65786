#pragma once
// MainLoop on the Qt event loop of the thread that creates it, with precise timers.
#include "core/MainLoop.h"

#include <QObject>
#include <QPointer>
#include <chrono>
#include <memory>
#include <unordered_map>

class QThread;
class QTimer;

namespace parlando {

class QtMainLoop final : public MainLoop {
public:
    QtMainLoop();
    ~QtMainLoop() override;

    void post(std::function<void()> fn) override;
    TimerId after(Duration delay, std::function<void()> fn) override;
    TimerId every(Duration interval, std::function<void()> fn) override;
    void cancel(TimerId id) override;
    MonoTime now() const override;
    WallTime wallNow() const override;
    bool isMainThread() const override;

private:
    TimerId start(Duration interval, bool repeating, std::function<void()> fn);

    std::unique_ptr<QObject> context_;  // lives in the main thread; posted calls target it
    QThread* thread_;                   // the main thread, also while context_ is being torn down
    std::unordered_map<TimerId, QTimer*> timers_;
    TimerId nextId_ = 1;
    std::chrono::steady_clock::time_point origin_;
};

}  // namespace parlando
