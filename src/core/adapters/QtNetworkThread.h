#pragma once
// A thread of its own for Qt network objects, and the object that parents
// them there. Work is posted to it until stop(); stop() deletes that parent,
// and with it every object still alive, on the thread itself, then joins it,
// so no network object outlives its owner or dies on the wrong thread.
#include <QObject>
#include <QString>
#include <QThread>

#include <functional>
#include <mutex>

namespace parlando {

class QtNetworkThread {
public:
    explicit QtNetworkThread(const QString& name);
    ~QtNetworkThread() { stop(); }
    QtNetworkThread(const QtNetworkThread&) = delete;
    QtNetworkThread& operator=(const QtNetworkThread&) = delete;

    // Lives on the thread: the parent for objects made there.
    QObject* context() const { return context_; }
    // Queues `fn` to run on the thread; false, and nothing runs, once stopped.
    bool post(std::function<void()> fn);
    // Takes no more work, runs `beforeDelete` on the thread, deletes the
    // context there and waits for the thread to end. Later calls do nothing.
    void stop(const std::function<void(QObject* context)>& beforeDelete = {});

private:
    QThread thread_;
    QObject* context_ = nullptr;
    std::mutex mutex_;
    bool stopped_ = false;
};

}  // namespace parlando
