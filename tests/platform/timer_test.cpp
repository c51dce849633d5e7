#include "platform/timer.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace pelu::platform {
namespace {

using test::Events;
using test::wait_until;

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

    ASSERT_TRUE(wait_until([&] { return slow.load() >= 3; }, 5000, Events::none));
    // Every 4th tick fires the 100 ms entry; the 25 ms entry fires on every tick.
    EXPECT_GE(fast.load(), 4 * slow.load() - 4);
    EXPECT_LE(fast.load(), 4 * slow.load() + 4);
    EXPECT_EQ(off.load(), 0);

    service.enable(off_id);
    ASSERT_TRUE(wait_until([&] { return off.load() >= 2; }, 5000, Events::none));
    service.disable(off_id);
    service.disable(off_id);
    service.enable(off_id); // still disabled once
    const int frozen = off.load();
    const int slow_mark = slow.load();
    ASSERT_TRUE(wait_until([&] { return slow.load() >= slow_mark + 2; }, 5000, Events::none));
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
    ASSERT_TRUE(wait_until([&] { return calls.load() >= 1; }, 5000, Events::none));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(calls.load(), 1);
    service.remove_entry(id);
    EXPECT_EQ(target_value, 1);
}

// The platform timer ticks only while an entry can fire: with every entry
// disabled or idle it sleeps, and it wakes for the first entry that can fire
// again; the entries' own counters and flags are kept through it all.
TEST(TimerService, TimerSleepsWhileNoEntryCanFire)
{
    TimerService& service = TimerService::instance();
    std::atomic<int> a_calls{0}, b_calls{0};
    const auto a = service.add_entry(25, 1, [&](void*) { ++a_calls; }, nullptr);
    ASSERT_NE(a, 0u);
    EXPECT_TRUE(service.timer_running());
    EXPECT_FALSE(service.timer_ticking()) << "added disabled: nothing to tick for";

    service.enable(a);
    EXPECT_TRUE(service.timer_ticking());
    ASSERT_TRUE(wait_until([&] { return a_calls.load() >= 2; }, 5000, Events::none));

    service.set_idle(a, true);
    EXPECT_FALSE(service.timer_ticking());
    service.disable(a); // idle and disabled: both must be undone
    service.set_idle(a, false);
    EXPECT_FALSE(service.timer_ticking()) << "still disabled";
    const int frozen = a_calls.load();
    const auto b = service.add_entry(25, 0, [&](void*) { ++b_calls; }, nullptr);
    EXPECT_TRUE(service.timer_ticking());
    ASSERT_TRUE(wait_until([&] { return b_calls.load() >= 3; }, 5000, Events::none));
    EXPECT_LE(a_calls.load(), frozen + 1) << "a disabled entry fired";
    service.remove_entry(b);
    EXPECT_FALSE(service.timer_ticking()) << "only a disabled entry is left";
    EXPECT_TRUE(service.timer_running());

    service.enable(a);
    EXPECT_TRUE(service.timer_ticking());
    const int resumed = a_calls.load();
    ASSERT_TRUE(wait_until([&] { return a_calls.load() >= resumed + 2; }, 5000, Events::none));
    service.remove_entry(a);
    EXPECT_FALSE(service.timer_running());
}

// A callback that finds nothing to do makes its entry idle; its owner wakes it.
TEST(TimerService, CallbackMayMakeItsEntryIdle)
{
    TimerService& service = TimerService::instance();
    std::atomic<int> work{3}, calls{0};
    std::atomic<TimerService::EntryId> id{0};
    id = service.add_entry(25, 1,
                           [&](void*) {
                               ++calls;
                               if (work.load() > 0)
                                   --work;
                               else
                                   service.set_idle(id, true);
                           },
                           nullptr);
    service.enable(id);
    ASSERT_TRUE(wait_until([&] { return !service.timer_ticking(); }, 5000, Events::none));
    const int after = calls.load();
    EXPECT_EQ(after, 4) << "three ticks of work and the one that found none";
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(calls.load(), after);

    work = 1;
    service.set_idle(id, false);
    ASSERT_TRUE(wait_until([&] { return calls.load() >= after + 2 && !service.timer_ticking(); }, 5000, Events::none));
    service.remove_entry(id);
}

TEST(PeriodicTimer, SleepsWhileSwitchedOffAndTicksAgainWhenOn)
{
    std::atomic<int> ticks{0};
    PeriodicTimer timer(5, [&] { ++ticks; }, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(ticks.load(), 0);
    timer.set_ticking(true);
    ASSERT_TRUE(wait_until([&] { return ticks.load() >= 3; }, 5000, Events::none));
    timer.set_ticking(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(10)); // a tick under way ends
    const int stopped = ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(ticks.load(), stopped);
    timer.set_ticking(true);
    ASSERT_TRUE(wait_until([&] { return ticks.load() >= stopped + 2; }, 5000, Events::none));
}

TEST(PeriodicTimer, StopsPromptlyAndNeverTicksAfterDestruction)
{
    std::atomic<int> ticks{0};
    {
        PeriodicTimer timer(5, [&] { ++ticks; });
        ASSERT_TRUE(wait_until([&] { return ticks.load() >= 3; }, 5000, Events::none));
    }
    const int after = ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(ticks.load(), after);
}

} // namespace
} // namespace pelu::platform
