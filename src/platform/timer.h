// Periodic timers: the platform's multimedia timer (PeriodicTimer) and the
// process-wide 25 ms TimerService that the connector's pause decay and the
// analysers' peak fall share.
//
// Thread: the service's operations may be called from any thread (normally the
// main thread). Entry callbacks run on the service's own timer thread, under the
// service's lock: they must be short and must never wait for the main thread
// (the main thread may be waiting for the lock in remove_entry()). A callback may
// enable or disable entries but must not remove any.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace pelu::platform {

// Calls `tick` every `period_ms` on a thread of its own, against absolute
// deadlines; a tick that overruns its period makes the missed ticks drop, not
// pile up. Destruction stops the thread and waits for a running tick.
class PeriodicTimer {
public:
    PeriodicTimer(int period_ms, std::function<void()> tick);
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    int period_ms() const { return period_ms_; }
    bool is_current_thread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void run();

    const int period_ms_;
    std::function<void()> tick_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

class TimerService {
public:
    static constexpr int kPeriodMs = 25;
    using Callback = std::function<void(void* target)>;
    using EntryId = std::uint64_t; // 0 is never a valid entry

    static TimerService& instance();

    // Adds an entry firing every `interval_ms` (raised to at least 25) while its
    // disabled counter is 0. The platform timer is created with the first entry.
    // Returns 0 when the timer cannot be created.
    EntryId add_entry(int interval_ms, int initial_disabled_count, Callback callback, void* target);
    // Decrements the disabled counter, not below 0.
    void enable(EntryId id);
    // Increments the disabled counter and zeroes the elapsed time.
    void disable(EntryId id);
    // Removes the entry; after it returns its callback is not running and never runs
    // again. The platform timer goes with the last entry.
    void remove_entry(EntryId id);

    bool timer_running() const;
    std::size_t entry_count() const;

private:
    TimerService() = default;
    struct Entry {
        EntryId id;
        int interval_ms;
        void* target;
        Callback callback;
        int disabled_count;
        int elapsed_ms;
    };
    void tick();
    Entry* find(EntryId id);

    mutable std::recursive_mutex mutex_; // recursive: a callback may disable/enable its own entry
    std::list<Entry> entries_;
    EntryId next_id_ = 1;
    std::unique_ptr<PeriodicTimer> timer_;
};

// One entry of the TimerService, owned: removed when reset or destroyed, after
// which its callback never runs again.
class TimerEntry {
public:
    TimerEntry() = default;
    ~TimerEntry() { reset(); }
    TimerEntry(const TimerEntry&) = delete;
    TimerEntry& operator=(const TimerEntry&) = delete;

    // Replaces any entry this holds; false when the timer cannot be had.
    bool start(int interval_ms, int initial_disabled_count, TimerService::Callback callback, void* target)
    {
        reset();
        id_ = TimerService::instance().add_entry(interval_ms, initial_disabled_count, std::move(callback), target);
        return id_ != 0;
    }
    void reset()
    {
        if (id_)
            TimerService::instance().remove_entry(id_);
        id_ = 0;
    }
    void enable()
    {
        if (id_)
            TimerService::instance().enable(id_);
    }
    void disable()
    {
        if (id_)
            TimerService::instance().disable(id_);
    }
    bool active() const { return id_ != 0; }

private:
    TimerService::EntryId id_ = 0;
};

} // namespace pelu::platform
