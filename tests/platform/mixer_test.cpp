#include "platform/mainthread.h"
#include "platform/mixer/mixer.h"

#include <gtest/gtest.h>

#include <QThread>

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
