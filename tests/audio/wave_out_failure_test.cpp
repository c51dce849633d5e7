// A sound device that fails while playing: ALSA's own file plugin writing to
// /dev/full (its writes fail once its buffer has to go out), and the simulated
// device with injected faults. The failure surfaces as the output's error, the
// output ends stopped and closed, every operation returns, and a start
// afterwards opens a fresh device.
#include "audio/wave_out.h"
#include "pcm_test_source.h"

#include "platform/wave/wave_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

namespace pelu {
namespace {

using test::IndexedPcmSource;
using test::run_until;

// ALSA's file plugin on a null device, writing what it plays to /dev/full.
const char* const kFailingAlsaDevice = "alsa:file:'/dev/full',raw";

class WaveOutFailureTest : public ::testing::Test {
protected:
    void TearDown() override { platform::wave::select_wave_system("sim:0"); }

    struct Output {
        explicit Output(TMMDSPComponent* source)
        {
            out.SetCallBackMode(TMMWaveOut::cmThread);
            out.SetBufferSize(8160);
            out.SetInput(source);
            out.OnStart = [this](QObject*) { log += "S"; };
            out.OnStop = [this](QObject*) {
                log += "T";
                if (on_stop)
                    on_stop();
            };
            out.OnClose = [this](QObject*) { log += "C"; };
            out.OnError = [this](QObject*) { log += "E"; };
            previous_report = TMMWaveOut::ReportThreadError;
            TMMWaveOut::ReportThreadError = [this](const QString& text) { reports.push_back(text); };
        }
        ~Output() { TMMWaveOut::ReportThreadError = previous_report; }
        int count(char event) const { return int(std::count(log.begin(), log.end(), event)); }

        TMMWaveOut out;
        std::string log;
        std::vector<QString> reports;
        std::function<void()> on_stop;
        std::function<void(const QString&)> previous_report;
    };
};

TEST_F(WaveOutFailureTest, AnAlsaDeviceWhoseWritesFailEndsAsTheOutputsError)
{
    ASSERT_TRUE(platform::wave::select_wave_system(kFailingAlsaDevice));
    IndexedPcmSource source(44100 * 60);
    Output o(&source);
    o.out.Start();
    ASSERT_TRUE(run_until([&] { return o.count('C') == 1; }, 5000)) << "log " << o.log;
    test::pump_for(30);
    EXPECT_EQ(o.log, "SETC") << "error, then stopped and closed";
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

} // namespace
} // namespace pelu
