#include "platform/wave/posted_calls.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <deque>
#include <mutex>

#include <sys/eventfd.h>
#include <unistd.h>

namespace pelu::platform::wave {

namespace {

struct Posted {
    const QObject* receiver;
    std::function<void()> call;
};

std::mutex g_mutex;
std::deque<Posted> g_queue;
bool g_wake_pending = false; // an eventfd write not yet read
int g_eventfd = -1;
QSocketNotifier* g_notifier = nullptr; // a child of the application

void drain()
{
    {
        std::lock_guard lock(g_mutex);
        std::uint64_t count = 0;
        if (g_eventfd >= 0)
            (void)!::read(g_eventfd, &count, sizeof count);
        g_wake_pending = false;
    }
    for (;;) {
        std::function<void()> call;
        {
            std::lock_guard lock(g_mutex);
            if (g_queue.empty())
                return;
            call = std::move(g_queue.front().call);
            g_queue.pop_front();
        }
        call(); // outside the lock: a call may post or cancel
    }
}

} // namespace

// The main loop learns of new calls through an eventfd rather than a posted Qt
// event: the write/read pair is a hand-over the thread sanitizer sees.
void init_posted_calls()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        return;
    std::lock_guard lock(g_mutex);
    if (g_notifier)
        return;
    g_eventfd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (g_eventfd < 0)
        return;
    g_notifier = new QSocketNotifier(g_eventfd, QSocketNotifier::Read, app);
    QObject::connect(g_notifier, &QSocketNotifier::activated, [] { drain(); });
    QObject::connect(g_notifier, &QObject::destroyed, [] {
        std::lock_guard inner(g_mutex);
        g_notifier = nullptr;
        ::close(g_eventfd);
        g_eventfd = -1;
        g_queue.clear();
        g_wake_pending = false;
    });
}

void post_to_main(const QObject* receiver, std::function<void()> call)
{
    std::lock_guard lock(g_mutex);
    if (g_eventfd < 0)
        return; // no main loop to run it
    g_queue.push_back(Posted{receiver, std::move(call)});
    if (!g_wake_pending) {
        g_wake_pending = true;
        const std::uint64_t one = 1;
        (void)!::write(g_eventfd, &one, sizeof one);
    }
}

void cancel_posted(const QObject* receiver)
{
    std::deque<Posted> dropped; // destroyed outside the lock
    std::lock_guard lock(g_mutex);
    for (auto it = g_queue.begin(); it != g_queue.end();) {
        if (it->receiver == receiver) {
            dropped.push_back(std::move(*it));
            it = g_queue.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace pelu::platform::wave
