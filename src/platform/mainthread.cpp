#include "platform/mainthread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <exception>
#include <mutex>

namespace pelu::platform {

namespace {

QObject* main_context()
{
    return QCoreApplication::instance();
}

} // namespace

bool is_main_thread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void post(std::function<void()> fn)
{
    QObject* context = main_context();
    if (!context)
        return; // no event loop to deliver to: nothing can run the call
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

bool run_and_wait(std::function<void()> fn)
{
    if (is_main_thread()) {
        fn();
        return true;
    }
    QObject* context = main_context();
    if (!context)
        return false;

    struct Shared {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        std::exception_ptr error;
    };
    auto shared = std::make_shared<Shared>();
    QMetaObject::invokeMethod(
        context,
        [fn = std::move(fn), shared]() {
            try {
                fn();
            } catch (...) {
                shared->error = std::current_exception();
            }
            std::lock_guard lock(shared->mutex);
            shared->done = true;
            shared->done_cv.notify_all();
        },
        Qt::QueuedConnection);

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
