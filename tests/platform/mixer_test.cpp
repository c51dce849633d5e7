#include "platform/mainthread.h"
#include "platform/mixer/event_poller.h"
#include "platform/mixer/mixer_device.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <QThread>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace pelu::platform::mixer {
namespace {

class SimMixer : public ::testing::Test {
protected:
    void SetUp() override { sim_set_layout(sim_default_layout()); }
    void TearDown() override { sim_set_layout(sim_default_layout()); }
    std::shared_ptr<MixerSystem> system = make_sim_mixer();
};

TEST_F(SimMixer, SpeakersVolumeFoundAndUniformWritesReachEveryChannel)
{
    ASSERT_EQ(system->device_count(), 1u);
    auto speakers = system->line_by_component_type(0, component::kDstSpeakers);
    ASSERT_TRUE(speakers);
    EXPECT_EQ(speakers->channels, 2u);
    EXPECT_EQ(speakers->connections, 1u);
    auto volume = system->control_by_type(0, speakers->line_id, control::kVolume);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->maximum, 65535u);
    EXPECT_EQ(volume->steps, 65535u);
    EXPECT_EQ(system->control_by_id(0, volume->control_id)->line_id, speakers->line_id);

    system->set_values(0, volume->control_id, 1, 1, {1000});
    EXPECT_EQ(system->get_values(0, volume->control_id, 2, 1), (std::vector<std::uint32_t>{1000, 1000}));
    system->set_values(0, volume->control_id, 2, 1, {10, 20});
    EXPECT_EQ(system->get_values(0, volume->control_id, 2, 1), (std::vector<std::uint32_t>{10, 20}));
    EXPECT_THROW(system->set_values(0, volume->control_id, 3, 1, {1, 2, 3}), MixerError);
    EXPECT_THROW(system->caps(1), MixerError);
    EXPECT_FALSE(system->control_by_type(0, speakers->line_id, control::kBass));
}

TEST_F(SimMixer, NoticesArriveOnTheMainThreadAndStopWithTheHandle)
{
    auto speakers = system->line_by_component_type(0, component::kDstSpeakers);
    const std::uint32_t volume = system->control_by_type(0, speakers->line_id, control::kVolume)->control_id;
    std::vector<std::uint32_t> seen;
    bool on_main = true;
    auto handle = system->open(0, [&](const Notice& n) {
        on_main = on_main && is_main_thread();
        seen.push_back(n.id);
    });
    sim_external_set(0, volume, {5});
    process_pending_events();
    EXPECT_EQ(seen, std::vector<std::uint32_t>{volume});
    EXPECT_TRUE(on_main);

    sim_external_set(0, volume, {6}); // posted, then the handle goes before delivery
    handle.reset();
    process_pending_events();
    EXPECT_EQ(seen.size(), 1u);
}

// The event thread of a mixer device, watching a pipe that stands for the card:
// data is an event, a closed write end is a card that hung up.
struct PipeCard {
    PipeCard()
    {
        EXPECT_EQ(pipe(fds), 0);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
    }
    ~PipeCard()
    {
        poller.stop();
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    void start(int watched_fd = -1)
    {
        const int fd = watched_fd >= 0 ? watched_fd : fds[0];
        EventPoller::Callbacks callbacks;
        callbacks.descriptors = [fd] { return std::vector<pollfd>{pollfd{fd, POLLIN, 0}}; };
        callbacks.on_events = [this] {
            ++events;
            char buffer[64];
            while (read(fds[0], buffer, sizeof buffer) > 0) {
            }
            return !answer_with_error;
        };
        callbacks.on_gone = [this] { ++gone; };
        poller.start(std::move(callbacks));
    }
    int fds[2] = {-1, -1};
    EventPoller poller;
    std::atomic<int> events{0}, gone{0};
    std::atomic<bool> answer_with_error{false};
};

TEST(MixerEventPoller, EventsWakeItAndAHungUpCardEndsItOnce)
{
    PipeCard card;
    card.start();
    ASSERT_EQ(write(card.fds[1], "x", 1), 1);
    ASSERT_TRUE(test::wait_until([&] { return card.events == 1; }, 5000, test::Events::none));
    ASSERT_EQ(write(card.fds[1], "y", 1), 1);
    ASSERT_TRUE(test::wait_until([&] { return card.events == 2; }, 5000, test::Events::none));
    EXPECT_EQ(card.gone, 0);

    close(card.fds[1]); // the card hangs up
    card.fds[1] = -1;
    ASSERT_TRUE(test::wait_until([&] { return card.gone == 1; }, 5000, test::Events::none));
    EXPECT_TRUE(card.poller.gone());
    // It stopped polling: the hang-up that stays on the descriptor wakes nobody.
    const int events_then = card.events;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(card.events, events_then);
    EXPECT_LE(events_then, 3);
    EXPECT_EQ(card.gone, 1);
    card.poller.stop(); // returns
}

TEST(MixerEventPoller, AnInvalidDescriptorOrACardAnsweringWithErrorsIsGone)
{
    {
        PipeCard card;
        const int stale = 987; // a descriptor nobody has open: POLLNVAL
        ASSERT_EQ(fcntl(stale, F_GETFD), -1);
        card.start(stale);
        ASSERT_TRUE(test::wait_until([&] { return card.gone == 1; }, 5000, test::Events::none));
        EXPECT_EQ(card.events, 0);
    }
    {
        PipeCard card;
        card.answer_with_error = true;
        card.start();
        ASSERT_EQ(write(card.fds[1], "x", 1), 1);
        ASSERT_TRUE(test::wait_until([&] { return card.gone == 1; }, 5000, test::Events::none));
        ASSERT_EQ(write(card.fds[1], "y", 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(card.events, 1) << "nothing is looked at after the card was found gone";
    }
    {
        // Stopped while waiting, it returns at once and says nothing.
        PipeCard card;
        card.start();
        card.poller.stop();
        EXPECT_EQ(card.gone, 0);
        EXPECT_FALSE(card.poller.running());
    }
}

TEST_F(SimMixer, AnUnpluggedCardSaysGoneOnceAndLeavesTheSystem)
{
    std::vector<Notice::Kind> seen;
    auto handle = system->open(0, [&](const Notice& n) { seen.push_back(n.kind); });
    sim_unplug(0);
    process_pending_events();
    EXPECT_EQ(seen, std::vector<Notice::Kind>{Notice::DeviceGone});
    EXPECT_EQ(system->device_count(), 0u);
    EXPECT_THROW(system->caps(0), MixerError);
}

// No sound card exists on a build machine: the real backend must report an
// empty system, not fail.
TEST(AlsaMixer, WithoutCardsThereIsNoDevice)
{
    auto alsa = make_alsa_mixer();
    const std::uint32_t count = alsa->device_count();
    if (count > 0)
        GTEST_SKIP() << "this machine has a sound card";
    EXPECT_THROW(alsa->caps(0), MixerError);
    EXPECT_THROW(alsa->open(0, [](const Notice&) {}), MixerError);
    EXPECT_EQ(alsa->mixer_of(DeviceKind::WaveOut, 0), -1);
}

} // namespace
} // namespace pelu::platform::mixer
