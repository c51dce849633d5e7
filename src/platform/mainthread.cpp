#include "platform/mainthread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace pelu::platform {

namespace {

// Calls posted to the main thread wait in a queue of our own, guarded by a
// std::mutex; a bare Qt event only wakes the main thread to drain it. The queue
// (rather than a call captured in Qt's event) keeps the hand-over from one
// thread to the other visible to the thread sanitizer, which cannot see into
// Qt's own locks.
class CallQueue : public QObject {
public:
    static constexpr QEvent::Type kWake = QEvent::Type(QEvent::User + 0x2e1);

    void push(const void* receiver, std::function<void()> fn)
    {
        QEvent* wake = new QEvent(kWake);
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(Call{receiver, std::move(fn)});
        }
        QCoreApplication::postEvent(this, wake);
    }

    void cancel(const void* receiver)
    {
        std::deque<Call> dropped; // destroyed outside the lock
        std::lock_guard lock(mutex_);
        for (auto it = calls_.begin(); it != calls_.end();) {
            if (it->receiver == receiver) {
                dropped.push_back(std::move(*it));
                it = calls_.erase(it);
            } else {
                ++it;
            }
        }
    }

protected:
    bool event(QEvent* e) override
    {
        if (e->type() != kWake)
            return QObject::event(e);
        // One call per wake event keeps the order of posted calls relative to
        // other events posted in between. A cancelled call leaves its wake
        // event behind, which then finds the queue short and does nothing.
        std::function<void()> fn;
        {
            std::lock_guard lock(mutex_);
            if (calls_.empty())
                return true;
            fn = std::move(calls_.front().fn);
            calls_.pop_front();
        }
        fn(); // outside the lock: a call may post or cancel
        return true;
    }

private:
    struct Call {
        const void* receiver;
        std::function<void()> fn;
    };
    std::mutex mutex_;
    std::deque<Call> calls_;
};

// Lives in the main thread; created on first use (any thread) once the
// application object exists.
CallQueue* call_queue()
{
    static std::mutex creation;
    static CallQueue* queue = nullptr;
    std::lock_guard lock(creation);
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return nullptr;
    if (!queue) {
        queue = new CallQueue();
        queue->moveToThread(app->thread());
        queue->setParent(app); // goes with the application
        QObject::connect(queue, &QObject::destroyed, [] { queue = nullptr; });
    }
    return queue;
}

} // namespace

bool is_main_thread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void post(std::function<void()> fn)
{
    post(nullptr, std::move(fn));
}

void post(const void* receiver, std::function<void()> fn)
{
    if (CallQueue* queue = call_queue())
        queue->push(receiver, std::move(fn));
}

void cancel_posted(const void* receiver)
{
    if (receiver)
        if (CallQueue* queue = call_queue())
            queue->cancel(receiver);
}

bool run_and_wait(std::function<void()> fn)
{
    if (is_main_thread()) {
        fn();
        return true;
    }
    CallQueue* queue = call_queue();
    if (!queue)
        return false;

    struct Shared {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        std::exception_ptr error;
    };
    auto shared = std::make_shared<Shared>();
    queue->push(nullptr, [fn = std::move(fn), shared]() {
        std::exception_ptr error;
        try {
            fn();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(shared->mutex);
        shared->error = error;
        shared->done = true;
        shared->done_cv.notify_all();
    });

    std::unique_lock lock(shared->mutex);
    shared->done_cv.wait(lock, [&] { return shared->done; });
    if (shared->error)
        std::rethrow_exception(shared->error);
    return true;
}

void process_pending_events()
{
    if (!QCoreApplication::instance())
        return;
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void run_loop_until(const std::atomic<bool>& done, int poll_ms)
{
    if (!QCoreApplication::instance())
        return;
    // The timer only guarantees a wake-up, so a flag set from another thread is
    // seen within poll_ms even when no event arrives.
    QEventLoop loop;
    QTimer poll;
    poll.start(poll_ms);
    while (!done.load())
        loop.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

} // namespace pelu::platform
