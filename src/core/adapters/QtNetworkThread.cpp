#include "core/adapters/QtNetworkThread.h"

namespace parlando {

QtNetworkThread::QtNetworkThread(const QString& name) : context_(new QObject) {
    thread_.setObjectName(name);
    context_->moveToThread(&thread_);
    thread_.start();
}

bool QtNetworkThread::post(std::function<void()> fn) {
    std::lock_guard guard(mutex_);
    if (stopped_) return false;
    QMetaObject::invokeMethod(context_, std::move(fn), Qt::QueuedConnection);
    return true;
}

void QtNetworkThread::stop(const std::function<void(QObject* context)>& beforeDelete) {
    {
        std::lock_guard guard(mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    QObject* context = context_;
    QThread* thread = &thread_;
    QMetaObject::invokeMethod(
        context,
        [context, thread, beforeDelete] {
            if (beforeDelete) beforeDelete(context);
            delete context;
            thread->quit();
        },
        Qt::QueuedConnection);
    thread_.wait();
    context_ = nullptr;
}

}  // namespace parlando
