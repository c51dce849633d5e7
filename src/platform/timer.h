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

#include <atomic>
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
// set_ticking(false) parks the thread (it sleeps without a deadline, costing
// no wake-ups) until set_ticking(true), whose first tick comes one period later.
class PeriodicTimer {
public:
    PeriodicTimer(int period_ms, std::function<void()> tick, bool ticking = true);
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    int period_ms() const { return period_ms_; }
    bool is_current_thread() const { return std::this_thread::get_id() == thread_.get_id(); }
    // Any thread, also from a tick.
    void set_ticking(bool ticking);
    bool ticking() const;

private:
    void run();

    const int period_ms_;
    std::function<void()> tick_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool ticking_ = true;
    bool restart_ = false; // ticking was switched on: the next deadline counts from then
    std::thread thread_;
};

class TimerService {
public:
    static constexpr int kPeriodMs = 25;
    using Callback = std::function<void(void* target)>;
    using EntryId = std::uint64_t; // 0 is never a valid entry

    static TimerService& instance();

    // Adds an entry firing every `interval_ms` (raised to at least 25) while its
    // disabled counter is 0. The platform timer is created with the first entry;
    // it ticks only while at least one entry is enabled and not idle, and
    // sleeps otherwise.
    // Returns 0 when the timer cannot be created.
    EntryId add_entry(int interval_ms, int initial_disabled_count, Callback callback, void* target);
    // Decrements the disabled counter, not below 0.
    void enable(EntryId id);
    // Increments the disabled counter and zeroes the elapsed time.
    void disable(EntryId id);
    // An idle entry does not fire until it is made busy again; unlike the
    // disabled counter this is a plain flag, for an owner (or its callback)
    // that knows when it has nothing to do, such as a peak that has fallen.
    // Going idle zeroes the elapsed time.
    void set_idle(EntryId id, bool idle);
    // Removes the entry; after it returns its callback is not running and never runs
    // again. The platform timer goes with the last entry.
    void remove_entry(EntryId id);

    // The platform timer exists (some entry does, enabled or not).
    bool timer_running() const;
    // The platform timer is ticking (some entry is enabled and not idle).
    bool timer_ticking() const;
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
        bool idle = false;
        bool live() const { return disabled_count == 0 && !idle; }
    };
    void tick();
    Entry* find(EntryId id);
    // Applies a change of one entry's state, keeping the count of live entries
    // (lock held).
    template <typename Change>
    void change_entry(Entry& entry, Change change);
    // Lets the platform timer tick exactly while some entry is live (lock held).
    void update_ticking();

    mutable std::recursive_mutex mutex_; // recursive: a callback may disable/enable its own entry
    std::list<Entry> entries_;
    EntryId next_id_ = 1;
    int live_count_ = 0; // entries that are enabled and not idle
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
        if (const auto id = id_.exchange(0))
            TimerService::instance().remove_entry(id);
    }
    void enable()
    {
        if (const auto id = id_.load())
            TimerService::instance().enable(id);
    }
    void disable()
    {
        if (const auto id = id_.load())
            TimerService::instance().disable(id);
    }
    // From the owner or from its own callback.
    void set_idle(bool idle)
    {
        if (const auto id = id_.load())
            TimerService::instance().set_idle(id, idle);
    }
    bool active() const { return id_ != 0; }

private:
    // Atomic: the entry's own callback reads it on the timer thread (set_idle)
    // while the owner may start or reset it on its thread.
    std::atomic<TimerService::EntryId> id_{0};
};

} // namespace pelu::platform
