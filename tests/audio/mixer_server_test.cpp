// The player's master volume on a real sound server: ALSA's default control
// device is PipeWire's (its "Master"), so the slider moves the default sink's
// volume, follows a change made with wpctl through the mixer's notices, is
// disabled without a busy thread when the server dies, and finds it again.
#include "audio/mixer.h"
#include "platform/mainthread.h"
#include "sound_server.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>

namespace pelu {
namespace {

namespace pm = platform::mixer;
using test::SoundServer;

double process_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Runs the main loop until `done`, at most `timeout_ms`; the milliseconds it took, or -1.
qint64 run_until(const std::function<bool()>& done, int timeout_ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeout_ms)
            return -1;
        platform::process_pending_events();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return timer.elapsed();
}

TEST(MixerOnSoundServer, TheSliderDrivesAndFollowsTheSinkAndADeadServerDisablesIt)
{
    SoundServer server;
    if (!server.ok())
        GTEST_SKIP() << "no private PipeWire server here: " << server.problem().toStdString();
    server.ApplyToThisProcess();

    TMMMixerDevice device;
    device.SetMixerSystem(pm::make_alsa_mixer());
    TMMAudioLine line;
    line.SetMixer(&device);
    line.SetComponentType(TMMAudioLine::ctDstSpeakers);
    TMMMixerControl control;
    control.SetAudioLine(&line);
    control.SetControlType(TMMMixerControl::ctVolume);
    TMMCustomMixerSlider slider;
    slider.SetControl(&control);
    device.SetActive(true);
    ASSERT_TRUE(device.Active());
    ASSERT_EQ(line.LineInfo().Name, QStringLiteral("Master"));
    ASSERT_TRUE(slider.IsEnabled());
    const int top = slider.MaxValue();
    ASSERT_GT(top, 100);

    // The slider writes the sink's volume (wpctl's scale is the control's, 0..1).
    slider.SetPosition(top / 2);
    std::optional<double> volume;
    EXPECT_GE(run_until(
                  [&] {
                      volume = server.SinkVolume();
                      return volume && std::abs(*volume - 0.5) < 0.02;
                  },
                  3000),
              0)
        << "the sink's volume is " << volume.value_or(-1);

    // A change made outside comes back through the notices alone.
    int repaints = 0;
    QObject::connect(&slider, &TMMCustomMixerSlider::changed, [&] { ++repaints; });
    int writes_back = 0;
    slider.OnChange = [&](QObject*) { ++writes_back; };
    ASSERT_TRUE(server.SetSinkVolume(0.3));
    const int wanted = int(std::lround(0.3 * top));
    const qint64 followed_ms = run_until([&] { return std::abs(slider.Position() - wanted) <= top / 100; }, 2000);
    std::printf("outside_change_to_slider_ms=%lld\n", static_cast<long long>(followed_ms));
    RecordProperty("outside_change_to_slider_ms", std::to_string(followed_ms));
    EXPECT_GE(followed_ms, 0) << "the slider stayed at " << slider.Position() << " of " << top;
    EXPECT_GT(repaints, 0);
    EXPECT_EQ(writes_back, 0);
    volume = server.SinkVolume();
    EXPECT_TRUE(volume && std::abs(*volume - 0.3) < 0.02);

    // The server dies: the mixer is gone, the slider disabled, and no thread
    // is left spinning on the dead connection.
    server.KillServer();
    const qint64 gone_ms = run_until([&] { return device.Gone(); }, 5000);
    std::printf("server_death_to_mixer_gone_ms=%lld\n", static_cast<long long>(gone_ms));
    EXPECT_GE(gone_ms, 0) << "the mixer did not notice its server dying";
    EXPECT_FALSE(device.Active());
    EXPECT_FALSE(slider.IsEnabled());
    const double cpu_before = process_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpu_used = process_cpu_seconds() - cpu_before;
    EXPECT_LT(cpu_used, 0.3) << "a thread keeps busy after the server died";

    // A server that is back is found again when the mixer is looked at afresh.
    ASSERT_TRUE(server.Restart()) << server.problem().toStdString();
    device.SetMixerSystem(pm::make_alsa_mixer());
    EXPECT_FALSE(device.Gone());
    EXPECT_TRUE(slider.IsEnabled());
}

} // namespace
} // namespace pelu
