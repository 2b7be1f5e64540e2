#include "model/worker_link.h"

#include <QMetaObject>
#include <utility>

namespace taln {

WorkerLink::WorkerLink(QObject* receiver) : receiver_(receiver) {}

void WorkerLink::post(Fn fn) {
    std::lock_guard lock(mutex_);
    if (receiver_ == nullptr) {
        return;
    }
    posted_.push_back(std::move(fn));
    // Under the lock, so that the receiver cannot be destroyed during the call.
    QMetaObject::invokeMethod(receiver_, "runPosted", Qt::QueuedConnection);
}

WorkerLink::Fn WorkerLink::take() {
    std::lock_guard lock(mutex_);
    if (posted_.empty()) {
        return {};
    }
    Fn fn = std::move(posted_.front());
    posted_.pop_front();
    return fn;
}

void WorkerLink::close() {
    std::deque<Fn> dropped;
    {
        std::lock_guard lock(mutex_);
        receiver_ = nullptr;
        dropped.swap(posted_);
    }
}

} // namespace taln
