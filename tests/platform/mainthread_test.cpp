#include "platform/mainthread.h"

#include "audio/dsp_object.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace pelu::platform {
namespace {

TEST(MainThread, PostedCallsRunInOrderOnTheMainThread)
{
    ASSERT_TRUE(is_main_thread());
    std::vector<int> order;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        EXPECT_FALSE(is_main_thread());
        for (int i = 0; i < 5; ++i)
            post([&order, i] {
                EXPECT_TRUE(is_main_thread());
                order.push_back(i);
            });
        post([&] { done = true; });
    });
    run_loop_until(done);
    worker.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(MainThread, RunAndWaitRunsThereAndCarriesExceptionsBack)
{
    std::atomic<bool> finished{false};
    bool ran_on_main = false;
    bool caught = false;
    std::thread worker([&] {
        run_and_wait([&] { ran_on_main = is_main_thread(); });
        try {
            run_and_wait([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "boom";
        }
        finished = true;
    });
    run_loop_until(finished);
    worker.join();
    EXPECT_TRUE(ran_on_main);
    EXPECT_TRUE(caught);
    // On the main thread it runs inline.
    int inline_calls = 0;
    EXPECT_TRUE(run_and_wait([&] { ++inline_calls; }));
    EXPECT_EQ(inline_calls, 1);
}

class Worker : public TMMDSPThread {
public:
    bool ran_on_main = false;
    std::atomic<bool> finished{false};

protected:
    void Execute() override
    {
        RunInMainThread([this] { ran_on_main = is_main_thread(); });
        finished = true;
    }
};

TEST(DSPThread, RegisteredThreadsMarshalToTheMainThreadOthersRunDirectly)
{
    EXPECT_EQ(TMMDSPThread::ThreadCount(), 0u);
    {
        Worker worker;
        EXPECT_EQ(TMMDSPThread::ThreadCount(), 1u);
        worker.Start();
        run_loop_until(worker.finished);
        worker.WaitFor();
        EXPECT_TRUE(worker.ran_on_main);
    }
    EXPECT_EQ(TMMDSPThread::ThreadCount(), 0u);

    bool direct_on_main = true;
    std::thread stranger([&] { TMMDSPThread::RunInMainThread([&] { direct_on_main = is_main_thread(); }); });
    stranger.join(); // an unregistered thread runs the call itself: no main loop needed
    EXPECT_FALSE(direct_on_main);
}

} // namespace
} // namespace pelu::platform
