#include "platform/timer.h"

#include <chrono>

namespace pelu::platform {

PeriodicTimer::PeriodicTimer(int period_ms, std::function<void()> tick)
    : period_ms_(period_ms < 1 ? 1 : period_ms), tick_(std::move(tick))
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

void PeriodicTimer::run()
{
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(period_ms_);
    auto deadline = clock::now() + period;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (wake_.wait_until(lock, deadline, [this] { return stopping_; }))
            return;
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
            timer_ = std::make_unique<PeriodicTimer>(kPeriodMs, [this] { tick(); });
        } catch (const std::system_error&) {
            return 0;
        }
    }
    Entry entry{next_id_++, interval_ms < kPeriodMs ? kPeriodMs : interval_ms, target,
                std::move(callback), initial_disabled_count < 0 ? 0 : initial_disabled_count, 0};
    entries_.push_back(std::move(entry));
    return entries_.back().id;
}

void TimerService::enable(EntryId id)
{
    std::lock_guard lock(mutex_);
    if (Entry* entry = find(id); entry && entry->disabled_count > 0)
        --entry->disabled_count;
}

void TimerService::disable(EntryId id)
{
    std::lock_guard lock(mutex_);
    if (Entry* entry = find(id)) {
        ++entry->disabled_count;
        entry->elapsed_ms = 0;
    }
}

void TimerService::remove_entry(EntryId id)
{
    std::unique_ptr<PeriodicTimer> retired;
    {
        std::lock_guard lock(mutex_);
        entries_.remove_if([id](const Entry& entry) { return entry.id == id; });
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
        if (entry.disabled_count != 0)
            continue;
        entry.elapsed_ms += kPeriodMs;
        if (entry.elapsed_ms >= entry.interval_ms) {
            entry.elapsed_ms = 0;
            entry.callback(entry.target);
        }
    }
}

} // namespace pelu::platform
