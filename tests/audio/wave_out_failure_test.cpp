// A sound device that fails while playing: ALSA's own file plugin writing to
// /dev/full (its writes fail once its buffer has to go out), and the simulated
// device with injected faults. The failure surfaces as the output's error, the
// output ends stopped and closed, every operation returns, and a start
// afterwards opens a fresh device.
#include "audio/wave_out.h"
#include "logged_output.h"
#include "pcm_test_source.h"

#include "platform/wave/wave_device.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <random>
#include <string>

namespace pelu {
namespace {

using test::IndexedPcmSource;
using Output = test::LoggedOutput;
using test::run_until;

// ALSA's file plugin on a null device, writing what it plays to /dev/full.
const char* const kFailingAlsaDevice = "alsa:file:'/dev/full',raw";

class WaveOutFailureTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        platform::wave::SimFaults::clear();
        platform::wave::select_wave_system("sim:0");
    }
};

TEST_F(WaveOutFailureTest, AnAlsaDeviceWhoseWritesFailEndsAsTheOutputsError)
{
    ASSERT_TRUE(platform::wave::select_wave_system(kFailingAlsaDevice));
    IndexedPcmSource source(44100 * 60);
    Output o(&source);
    o.out.Start();
    ASSERT_TRUE(run_until([&] { return o.count('C') == 1; }, 5000)) << "log " << o.log;
    test::pump_for(30);
    EXPECT_EQ(o.log, "OSETC") << "error, then stopped and closed";
    EXPECT_FALSE(o.out.IsOpen());
    ASSERT_EQ(o.reports.size(), 1u);
    EXPECT_EQ(o.reports[0], QStringLiteral("WaveOutWrite:\n\rInput/output error"));
    EXPECT_EQ(o.out.LastThreadError(), o.reports[0]);
    EXPECT_LT(source.position(), 44100 * 30) << "playing stopped at the failure";
}

TEST_F(WaveOutFailureTest, EveryOperationReturnsOnAFailingAlsaDevice)
{
    // Start, pause, restart, stop and close at random while the device keeps
    // failing (it fails again each time it is opened afresh).
    ASSERT_TRUE(platform::wave::select_wave_system(kFailingAlsaDevice));
    IndexedPcmSource source(44100 * 600);
    Output o(&source);
    std::mt19937 random(7);
    int slow = 0;
    std::chrono::steady_clock::duration slowest{};
    for (int i = 0; i < 300; ++i) {
        const auto begun = std::chrono::steady_clock::now();
        try {
            switch (random() % 5) {
            case 0:
            case 1: o.out.Start(); break;
            case 2:
                if (o.out.IsPlaying()) // a pause before any start would end with a stop of its own
                    o.out.Pause();
                break;
            case 3: o.out.Restart(); break;
            case 4: (random() % 2 ? o.out.Stop() : o.out.Close()); break;
            }
        } catch (const EMMWaveOutError&) {
        }
        const auto took = std::chrono::steady_clock::now() - begun;
        slowest = std::max(slowest, took);
        if (took > std::chrono::seconds(1))
            ++slow;
        test::pump_for(int(random() % 3));
    }
    o.out.Close();
    test::pump_for(30);
    EXPECT_EQ(slow, 0) << "operations that did not return within a second; slowest "
                       << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count() << " ms";
    EXPECT_FALSE(o.out.IsOpen());
    EXPECT_GE(o.count('E'), 1);
    // Every start ended with one stop (or the start itself failed).
    EXPECT_EQ(o.count('S'), o.count('T'));
}

TEST_F(WaveOutFailureTest, ASimulatedCardUnpluggedWhilePlayingEndsAsTheOutputsErrorAndAStartReopens)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:0"));
    platform::wave::SimFaults::fail_next_device_after(5, -ENODEV);
    IndexedPcmSource source(44100 * 5);
    Output o(&source);
    o.out.SetTimeFormat(TMMWaveOut::tfSample);
    o.out.Start();
    ASSERT_TRUE(run_until([&] { return o.count('C') == 1; })) << "log " << o.log;
    EXPECT_EQ(o.log, "OSETC");
    ASSERT_EQ(o.reports.size(), 1u);
    EXPECT_EQ(o.reports[0], QStringLiteral("WaveOutWrite:\n\rNo such device"));
    EXPECT_FALSE(o.out.IsOpen());

    // The next start opens a fresh device, which plays to the end.
    source.Seek(44100 * 5 - 5000);
    o.out.Start();
    ASSERT_TRUE(run_until([&] { return o.count('T') == 2; }));
    test::pump_for(30);
    EXPECT_EQ(o.log, "OSETCOST");
    EXPECT_EQ(source.position(), 44100 * 5);
}

TEST_F(WaveOutFailureTest, OnStopThatStartsTheNextTitleAfterAFailureGetsAFreshDeviceOrTheError)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:0"));
    IndexedPcmSource first(44100 * 5);
    IndexedPcmSource second(22050, 22050);
    Output o(&first);
    int handler_errors = 0;
    int advances = 0;
    o.on_stop = [&] {
        if (advances++ > 0)
            return;
        // The band's advance: the next title, then Start; its handler swallows errors.
        try {
            o.out.SetInput(&second);
            o.out.Start();
        } catch (const EMMWaveOutError&) {
            ++handler_errors;
        }
    };
    platform::wave::SimFaults::fail_next_device_after(3, -ENODEV);
    o.out.Start();
    ASSERT_TRUE(run_until([&] { return o.count('T') == 2; })) << "log " << o.log;
    test::pump_for(30);
    EXPECT_EQ(o.log, "OSETCOST") << "error, stop, the failed device closed, the next title played";
    EXPECT_EQ(handler_errors, 0);
    EXPECT_EQ(second.position(), 22050);

    // Again, and this time the card does not come back: the handler's start
    // fails with the output's error (it opens no device), and nothing stalls.
    o.out.Close();
    o.out.SetInput(&first);
    first.Seek(0);
    second.Seek(0);
    o.log.clear();
    advances = 0;
    platform::wave::SimFaults::fail_next_device_after(3, -ENODEV);
    o.out.Start();
    platform::wave::SimFaults::fail_next_opens(1, -ENODEV);
    ASSERT_TRUE(run_until([&] { return o.count('E') == 2 && !o.out.IsOpen(); })) << "log " << o.log;
    test::pump_for(30);
    EXPECT_EQ(o.log, "OSETCEC");
    EXPECT_EQ(handler_errors, 1);
    EXPECT_FALSE(o.out.IsOpen());
    platform::wave::SimFaults::clear();
}

TEST_F(WaveOutFailureTest, StopAndCloseReturnOnADeviceThatFailedBeforeTheMainThreadHeard)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:0"));
    platform::wave::SimFaults::fail_next_device_after(4, -ENODEV);
    IndexedPcmSource source(44100 * 5);
    Output o(&source);
    o.out.Start();
    // Without turning the main loop: the failure is known, its report not yet delivered.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (o.out.LastThreadError().isEmpty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_FALSE(o.out.LastThreadError().isEmpty());
    o.out.Pause();
    o.out.Stop();
    o.out.Close(); // all three return; the stop may wait for the handler that met the failure
    test::pump_for(30);
    // Either the stop completed at once and the late report found the device
    // closed ("OSTCE"), or it waited for that handler and the report completed
    // it ("OSETC"): one stop, one close, one error either way.
    EXPECT_TRUE(o.log == "OSTCE" || o.log == "OSETC") << "log " << o.log;
    ASSERT_EQ(o.reports.size(), 1u);
    EXPECT_FALSE(o.out.IsOpen());
}

} // namespace
} // namespace pelu
