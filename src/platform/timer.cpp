#include "platform/timer.h"

#include <chrono>

namespace pelu::platform {

PeriodicTimer::PeriodicTimer(int period_ms, std::function<void()> tick, bool ticking)
    : period_ms_(period_ms < 1 ? 1 : period_ms), tick_(std::move(tick)), ticking_(ticking)
{
    thread_ = std::thread([this] { run(); });
}

PeriodicTimer::~PeriodicTimer()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void PeriodicTimer::set_ticking(bool ticking)
{
    {
        std::lock_guard lock(mutex_);
        if (ticking == ticking_)
            return;
        ticking_ = ticking;
        if (ticking)
            restart_ = true;
    }
    // Switching off needs no wake-up: the thread parks at its next deadline.
    if (ticking)
        wake_.notify_all();
}

bool PeriodicTimer::ticking() const
{
    std::lock_guard lock(mutex_);
    return ticking_;
}

void PeriodicTimer::run()
{
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(period_ms_);
    auto deadline = clock::now() + period;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!ticking_) {
            wake_.wait(lock, [this] { return stopping_ || ticking_; });
            if (stopping_)
                return;
        }
        if (restart_) {
            restart_ = false;
            deadline = clock::now() + period;
        }
        const bool woken = wake_.wait_until(lock, deadline, [this] { return stopping_ || restart_ || !ticking_; });
        if (stopping_)
            return;
        if (woken)
            continue; // switched off or on again meanwhile: look again
        lock.unlock();
        tick_();
        lock.lock();
        deadline += period;
        const auto now = clock::now();
        if (deadline <= now) // overran: drop the missed ticks
            deadline = now + period;
    }
}

TimerService& TimerService::instance()
{
    static TimerService service;
    return service;
}

TimerService::Entry* TimerService::find(EntryId id)
{
    for (auto& entry : entries_)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

TimerService::EntryId TimerService::add_entry(int interval_ms, int initial_disabled_count,
                                              Callback callback, void* target)
{
    std::lock_guard lock(mutex_);
    if (!timer_) {
        try {
            timer_ = std::make_unique<PeriodicTimer>(kPeriodMs, [this] { tick(); }, false);
        } catch (const std::system_error&) {
            return 0;
        }
    }
    Entry entry{next_id_++, interval_ms < kPeriodMs ? kPeriodMs : interval_ms, target,
                std::move(callback), initial_disabled_count < 0 ? 0 : initial_disabled_count, 0};
    entries_.push_back(std::move(entry));
    if (entries_.back().live())
        ++live_count_;
    update_ticking();
    return entries_.back().id;
}

void TimerService::update_ticking()
{
    if (timer_)
        timer_->set_ticking(live_count_ > 0);
}

template <typename Change>
void TimerService::change_entry(Entry& entry, Change change)
{
    const bool was_live = entry.live();
    change(entry);
    if (entry.live() != was_live) {
        live_count_ += entry.live() ? 1 : -1;
        update_ticking();
    }
}

void TimerService::enable(EntryId id)
{
    std::lock_guard lock(mutex_);
    if (Entry* entry = find(id); entry && entry->disabled_count > 0)
        change_entry(*entry, [](Entry& e) { --e.disabled_count; });
}

void TimerService::disable(EntryId id)
{
    std::lock_guard lock(mutex_);
    if (Entry* entry = find(id))
        change_entry(*entry, [](Entry& e) {
            ++e.disabled_count;
            e.elapsed_ms = 0;
        });
}

void TimerService::set_idle(EntryId id, bool idle)
{
    std::lock_guard lock(mutex_);
    if (Entry* entry = find(id); entry && entry->idle != idle)
        change_entry(*entry, [idle](Entry& e) {
            e.idle = idle;
            if (idle)
                e.elapsed_ms = 0;
        });
}

void TimerService::remove_entry(EntryId id)
{
    std::unique_ptr<PeriodicTimer> retired;
    {
        std::lock_guard lock(mutex_);
        entries_.remove_if([this, id](const Entry& entry) {
            if (entry.id != id)
                return false;
            if (entry.live())
                --live_count_;
            return true;
        });
        update_ticking();
        if (entries_.empty() && !(timer_ && timer_->is_current_thread()))
            retired = std::move(timer_);
    }
    // Joined outside the lock: the timer thread may be waiting for it in tick().
    retired.reset();
}

bool TimerService::timer_running() const
{
    std::lock_guard lock(mutex_);
    return timer_ != nullptr;
}

bool TimerService::timer_ticking() const
{
    std::lock_guard lock(mutex_);
    return timer_ && timer_->ticking();
}

std::size_t TimerService::entry_count() const
{
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void TimerService::tick()
{
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        Entry& entry = *it;
        if (!entry.live())
            continue;
        entry.elapsed_ms += kPeriodMs;
        if (entry.elapsed_ms >= entry.interval_ms) {
            entry.elapsed_ms = 0;
            entry.callback(entry.target);
        }
    }
}

} // namespace pelu::platform
