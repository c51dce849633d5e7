// The thread that waits for a mixer device's events. It polls the descriptors
// its owner hands it (asked for again before every wait) together with a wake
// pipe of its own, and calls the owner back when events are waiting. A
// descriptor that reports an error, a hang-up or an invalid descriptor, or an
// owner that finds the device answering with errors, means the device went away
// (a card unplugged): the poller says so once and stops polling, rather than
// waking again at once for ever on the same condition.
//
// Thread: start() and stop() on the owner's thread; the callbacks run on the
// poller's thread, one at a time, and none runs after stop() has returned.
#pragma once

#include <poll.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace pelu::platform::mixer {

class EventPoller {
public:
    struct Callbacks {
        // The descriptors to watch; none means waiting for stop() alone.
        std::function<std::vector<pollfd>()> descriptors;
        // What the owner makes of the descriptors poll() returned (ALSA
        // translates them); unset: every descriptor's revents OR-ed together.
        std::function<unsigned short(std::vector<pollfd>& ready)> events;
        // Events are waiting. Returns false when the device answered with an
        // error that means it is gone.
        std::function<bool()> on_events;
        // The device went away; called once, and the thread ends.
        std::function<void()> on_gone;
    };

    EventPoller() = default;
    ~EventPoller() { stop(); }
    EventPoller(const EventPoller&) = delete;
    EventPoller& operator=(const EventPoller&) = delete;

    // Starts the thread (nothing when it runs); throws MixerError when no wake
    // pipe can be made.
    void start(Callbacks callbacks);
    // Ends the thread and waits for it.
    void stop();
    bool running() const { return thread_.joinable(); }
    // True once the device was found gone.
    bool gone() const { return gone_; }

private:
    void run();

    Callbacks callbacks_;
    std::thread thread_;
    int wake_pipe_[2] = {-1, -1};
    std::mutex mutex_;
    bool stopping_ = false;
    std::atomic<bool> gone_{false};
};

} // namespace pelu::platform::mixer
