#include "platform/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace pelu::platform {
namespace {

// Waits (up to a generous limit) until `done` holds.
template <typename Pred>
bool wait_for(Pred done, int limit_ms = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(TimerService, EntriesFireByTheirIntervalOnlyWhileEnabled)
{
    TimerService& service = TimerService::instance();
    ASSERT_FALSE(service.timer_running());
    std::atomic<int> fast{0}, slow{0}, off{0};
    const auto fast_id = service.add_entry(10, 0, [&](void*) { ++fast; }, nullptr); // raised to 25
    const auto slow_id = service.add_entry(100, 0, [&](void*) { ++slow; }, nullptr);
    const auto off_id = service.add_entry(25, 1, [&](void*) { ++off; }, nullptr);
    ASSERT_NE(fast_id, 0u);
    EXPECT_TRUE(service.timer_running());

    ASSERT_TRUE(wait_for([&] { return slow.load() >= 3; }));
    // Every 4th tick fires the 100 ms entry; the 25 ms entry fires on every tick.
    EXPECT_GE(fast.load(), 4 * slow.load() - 4);
    EXPECT_LE(fast.load(), 4 * slow.load() + 4);
    EXPECT_EQ(off.load(), 0);

    service.enable(off_id);
    ASSERT_TRUE(wait_for([&] { return off.load() >= 2; }));
    service.disable(off_id);
    service.disable(off_id);
    service.enable(off_id); // still disabled once
    const int frozen = off.load();
    const int slow_mark = slow.load();
    ASSERT_TRUE(wait_for([&] { return slow.load() >= slow_mark + 2; }));
    EXPECT_LE(off.load(), frozen + 1); // at most a tick already under way

    service.remove_entry(fast_id);
    service.remove_entry(slow_id);
    EXPECT_TRUE(service.timer_running());
    service.remove_entry(off_id);
    EXPECT_FALSE(service.timer_running());
    EXPECT_EQ(service.entry_count(), 0u);
}

TEST(TimerService, CallbackReceivesItsTargetAndMayDisableItself)
{
    TimerService& service = TimerService::instance();
    int target_value = 0;
    std::atomic<int> calls{0};
    std::atomic<TimerService::EntryId> id{0};
    // Added disabled and enabled once its id is known to the callback.
    id = service.add_entry(25, 1,
                           [&](void* target) {
                               ++*static_cast<int*>(target);
                               ++calls;
                               service.disable(id);
                           },
                           &target_value);
    service.enable(id);
    ASSERT_TRUE(wait_for([&] { return calls.load() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(calls.load(), 1);
    service.remove_entry(id);
    EXPECT_EQ(target_value, 1);
}

TEST(PeriodicTimer, StopsPromptlyAndNeverTicksAfterDestruction)
{
    std::atomic<int> ticks{0};
    {
        PeriodicTimer timer(5, [&] { ++ticks; });
        ASSERT_TRUE(wait_for([&] { return ticks.load() >= 3; }));
    }
    const int after = ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(ticks.load(), after);
}

} // namespace
} // namespace pelu::platform
