#include "audio/connector.h"
#include "audio/wave_out.h"
#include "pcm_test_source.h"

#include "platform/wave/wave_device.h"

#include <gtest/gtest.h>

#include <random>

namespace pelu {
namespace {

class CountingDisplay : public TMMDisplay {
public:
    void SetPWaveFormat(const WaveFormat*) override {}
    int DataSize() const override { return 512; }
    void ProcessData(const char*) override { ++fed; }
    void ResetDisplay() override {}
    int fed = 0;
};

// Start, seek, pause, restart, stop and close in random order on the sim
// device, with the main loop turning in between so end-of-data messages and
// the connector's pump interleave with the operations. Every Start that
// returns must be answered by exactly one OnStop before the next Start.
TEST(WaveOutStress, RandomOperationsNeitherDeadlockNorLeak)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:0"));
    test::IndexedPcmSource source(2040 * 25);
    TMMWaveOut out;
    out.SetCallBackMode(TMMWaveOut::cmThread);
    out.SetBufferSize(8160);
    TMMConnector connector;
    CountingDisplay display;
    connector.SetLevel1(&display);
    out.SetInput(&source);
    out.SetOutput(&connector);

    int starts = 0, stops = 0, opens = 0, closes = 0;
    bool double_stop = false;
    std::string trace;
    // A device paused before anything played stops (and says so) like a playing one.
    int idle_pause_stops = 0;
    out.OnStart = [&](QObject*) { ++starts; trace += "[START]"; };
    out.OnStop = [&](QObject*) {
        ++stops;
        trace += "[STOP]";
        double_stop = double_stop || stops > starts + idle_pause_stops;
    };
    out.OnOpen = [&](QObject*) { ++opens; };
    out.OnClose = [&](QObject*) { ++closes; };

    std::mt19937 random(12345);
    const int kOperations = 3000;
    for (int i = 0; i < kOperations; ++i) {
        const int op = random() % 7;
        trace += " " + std::to_string(op) + (out.IsPlaying() ? "p" : "") + (out.IsPaused() ? "z" : "");
        switch (op) {
        case 0:
        case 1:
            try {
                out.Start();
            } catch (const EMMWaveOutError&) {
                // Started at the very end of the source: nothing to play.
            }
            break;
        case 2: source.Seek(random() % (2040 * 25)); break;
        case 3: out.Pause(); break;
        case 4: out.Restart(); break;
        case 5:
        case 6:
            if (out.IsPaused() && !out.IsPlaying())
                ++idle_pause_stops;
            if (op == 5)
                out.Stop();
            else
                out.Close();
            break;
        }
        if (random() % 3 == 0)
            platform::process_pending_events();
        ASSERT_FALSE(double_stop) << "OnStop fired twice for one start, operation " << i << trace.substr(trace.size() > 300 ? trace.size() - 300 : 0);
    }
    out.Close();
    test::pump_for(20);
    EXPECT_FALSE(out.IsOpen());
    EXPECT_EQ(stops, starts + idle_pause_stops) << "every start ends with exactly one OnStop";
    EXPECT_EQ(opens, closes);
    EXPECT_GT(starts, 100);
    EXPECT_EQ(out.Allocator().BlocksInUse(), 0u);
    EXPECT_LE(out.Allocator().BlockCount(), 10u);
    EXPECT_EQ(TMMDSPThread::ThreadCount(), 0u);
    EXPECT_FALSE(connector.IsRunning());
}

} // namespace
} // namespace pelu
