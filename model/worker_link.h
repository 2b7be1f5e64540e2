#pragma once

// WorkerLink: the one road from worker threads back to the model. Workers post through it;
// once the model is gone the road is closed and posts are dropped. A post queues its function
// here, under the link's own lock, and asks Qt to call the receiver's runPosted() once for it;
// runPosted() takes the functions out under the same lock, in the order they were posted. So
// everything a worker wrote before posting is ordered, through a lock the program can see,
// before what the main thread reads, instead of relying on the event queue's internal locking
// alone.
//
// Threads: `post` from any thread; `take` and `close` on the receiver's (main) thread.
// A posted function runs only while the receiver lives (its destructor closes the link), so
// it may use the receiver and everything the receiver owns.

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

namespace taln {

class WorkerLink {
public:
    using Fn = std::function<void()>;

    // `receiver` has an invokable runPosted() that runs what take() gives.
    explicit WorkerLink(QObject* receiver);

    // Any thread. Queues `fn` to run on the receiver's thread, unless the link is closed.
    void post(Fn fn);

    // Receiver's thread: the oldest posted function, or an empty one.
    Fn take();

    // Receiver's thread, from its destructor. Functions still queued are dropped.
    void close();

private:
    std::mutex mutex_;
    QObject* receiver_;
    std::deque<Fn> posted_;
};

} // namespace taln
