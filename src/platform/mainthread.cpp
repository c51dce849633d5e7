#include "platform/mainthread.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

#include <sys/eventfd.h>
#include <unistd.h>

namespace pelu::platform {

namespace {

// Calls posted to the main thread wait in a queue of our own, guarded by a
// std::mutex, and an eventfd wakes the main loop to drain it. The write/read
// pair on the eventfd and the mutex make the hand-over visible to the thread
// sanitizer, which cannot see into Qt's own event queue.
struct Call {
    const void* receiver;
    std::function<void()> fn;
};

std::mutex g_mutex;
std::deque<Call> g_calls;
bool g_wake_pending = false; // an eventfd write not yet read
std::atomic<int> g_eventfd{-1}; // created with the first call, kept for the process
std::atomic<QSocketNotifier*> g_notifier{nullptr}; // a child of the application, main thread

void drain()
{
    {
        std::lock_guard lock(g_mutex);
        std::uint64_t count = 0;
        (void)!::read(g_eventfd, &count, sizeof count);
        g_wake_pending = false;
    }
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(g_mutex);
            if (g_calls.empty())
                return;
            fn = std::move(g_calls.front().fn);
            g_calls.pop_front();
        }
        fn(); // outside the lock: a call may post or cancel
    }
}

bool ensure_eventfd()
{
    std::lock_guard lock(g_mutex);
    if (g_eventfd < 0)
        g_eventfd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return g_eventfd >= 0;
}

// The notifier lives in the main thread, so it is made there: on the first
// facade call the main thread makes. Calls posted before then wait in the queue;
// the eventfd is already readable when the notifier starts watching it.
void ensure_notifier()
{
    if (g_notifier.load())
        return;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread() || !ensure_eventfd())
        return;
    auto* notifier = new QSocketNotifier(g_eventfd, QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, [] { drain(); });
    QObject::connect(notifier, &QObject::destroyed, [] { g_notifier = nullptr; });
    g_notifier = notifier;
}

void push(const void* receiver, std::function<void()> fn)
{
    if (!ensure_eventfd())
        return;
    std::lock_guard lock(g_mutex);
    g_calls.push_back(Call{receiver, std::move(fn)});
    if (!g_wake_pending) {
        g_wake_pending = true;
        const std::uint64_t one = 1;
        (void)!::write(g_eventfd, &one, sizeof one);
    }
}

} // namespace

bool is_main_thread()
{
    QCoreApplication* app = QCoreApplication::instance();
    const bool main = app && QThread::currentThread() == app->thread();
    if (main)
        ensure_notifier();
    return main;
}

void attach_to_main_loop()
{
    ensure_notifier();
}

void post(std::function<void()> fn)
{
    post(nullptr, std::move(fn));
}

void post(const void* receiver, std::function<void()> fn)
{
    if (!QCoreApplication::instance())
        return; // no main loop will ever run it
    is_main_thread(); // makes the notifier when called on the main thread
    push(receiver, std::move(fn));
}

void cancel_posted(const void* receiver)
{
    if (!receiver)
        return;
    std::deque<Call> dropped; // destroyed outside the lock
    std::lock_guard lock(g_mutex);
    for (auto it = g_calls.begin(); it != g_calls.end();) {
        if (it->receiver == receiver) {
            dropped.push_back(std::move(*it));
            it = g_calls.erase(it);
        } else {
            ++it;
        }
    }
}

bool run_and_wait(std::function<void()> fn)
{
    if (is_main_thread()) {
        fn();
        return true;
    }
    if (!QCoreApplication::instance())
        return false;

    // On this thread's stack: the main thread touches it only under its lock
    // and never after setting `done`, and it moves the exception in, so the
    // exception object is created there and released here with nothing shared.
    struct Waiter {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        std::exception_ptr error;
    } waiter;
    push(nullptr, [fn = std::move(fn), w = &waiter]() {
        std::exception_ptr error;
        try {
            fn();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(w->mutex);
        w->error = std::move(error);
        w->done = true;
        w->done_cv.notify_all();
    });

    std::unique_lock lock(waiter.mutex);
    waiter.done_cv.wait(lock, [&] { return waiter.done; });
    if (waiter.error)
        std::rethrow_exception(waiter.error);
    return true;
}

void process_pending_events()
{
    if (!is_main_thread())
        return;
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (g_eventfd >= 0)
        drain(); // our own queue too, whether or not the loop looked at the eventfd
}

void run_loop_until(const std::atomic<bool>& done, int poll_ms)
{
    if (!is_main_thread())
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
