#include "audio/wave_out.h"
#include "pcm_test_source.h"

#include "platform/wave/wave_device.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace pelu {
namespace {

using platform::wave::SimRecorder;
using test::IndexedPcmSource;
using test::run_until;

constexpr int kFrameBytes = 4;

// Chooses the device for the next wave outputs; restores the suite's default after.
class WaveOutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(platform::wave::select_wave_system("sim:0"));
        SimRecorder::clear();
        SimRecorder::set_enabled(true);
        SimRecorder::set_counter_start(0);
    }
    void TearDown() override
    {
        SimRecorder::set_enabled(false);
        SimRecorder::clear();
        SimRecorder::set_counter_start(0);
        platform::wave::select_wave_system("sim:0");
    }

    // A source -> wave output chain with counters on every event.
    struct Chain {
        explicit Chain(std::int64_t frames, int buffer_bytes = 8160)
        {
            source = std::make_unique<IndexedPcmSource>(frames);
            out = std::make_unique<TMMWaveOut>();
            out->SetCallBackMode(TMMWaveOut::cmThread);
            out->SetBufferSize(buffer_bytes);
            out->SetInput(source.get());
            out->OnStop = [this](QObject*) { ++stops; };
            out->OnClose = [this](QObject*) { ++closes; order.push_back("close"); };
            out->OnError = [this](QObject*) { ++errors; };
            out->OnStart = [this](QObject*) { ++starts; };
            auto stop_order = out->OnStop;
            out->OnStop = [this](QObject*) { ++stops; order.push_back("stop"); };
        }
        ~Chain()
        {
            out.reset();
            source.reset();
        }
        std::unique_ptr<IndexedPcmSource> source;
        std::unique_ptr<TMMWaveOut> out;
        int stops = 0, closes = 0, errors = 0, starts = 0;
        std::vector<std::string> order;
    };

    // Frames the sim device played must be 0, 1, 2, ... without gap or repeat.
    static void ExpectContiguousFrom(std::int64_t first, std::int64_t count)
    {
        const std::vector<char> played = SimRecorder::played_bytes();
        ASSERT_EQ(played.size() % kFrameBytes, 0u);
        ASSERT_EQ(std::int64_t(played.size() / kFrameBytes), count);
        for (std::int64_t i = 0; i < count; ++i) {
            const std::int64_t index = test::frame_index_at(played.data() + i * kFrameBytes);
            if (index != first + i) {
                ADD_FAILURE() << "frame " << i << " holds " << index << ", expected " << first + i;
                return;
            }
        }
    }
};

TEST_F(WaveOutTest, PlaysEverySampleInOrderAndStopsOnceAtTheEnd)
{
    const std::int64_t frames = 44100 * 2 + 123; // not a whole number of buffers
    Chain chain(frames);
    chain.out->Start();
    EXPECT_TRUE(chain.out->IsPlaying());
    EXPECT_EQ(chain.out->BuffersInUse(), 10);
    ASSERT_TRUE(run_until([&] { return chain.stops > 0; }));
    test::pump_for(50);
    EXPECT_EQ(chain.stops, 1);
    EXPECT_EQ(chain.starts, 1);
    EXPECT_EQ(chain.errors, 0);
    EXPECT_FALSE(chain.out->IsPlaying());
    EXPECT_TRUE(chain.out->IsOpen()); // the end of data stops, it does not close
    ExpectContiguousFrom(0, frames);
    // The blocks stay cached for the next play, none in use.
    EXPECT_EQ(chain.out->Allocator().BlocksInUse(), 0u);
    EXPECT_EQ(chain.out->Allocator().BlockCount(), 10u);
}

TEST_F(WaveOutTest, OnAPacedDeviceThePositionRunsOnBetweenReturnedBuffersAndTheEndIsOnTime)
{
    // A paced device gives played buffers back several at a time: the position
    // still follows its clock between them, every frame plays once in order,
    // and the last buffer comes back as it ends.
    ASSERT_TRUE(platform::wave::select_wave_system("sim:1"));
    const std::int64_t frames = 44100 * 6 / 10;
    Chain chain(frames);
    chain.out->SetTimeFormat(TMMWaveOut::tfSample);
    const auto started = std::chrono::steady_clock::now();
    chain.out->Start();
    std::int64_t last = -1;
    auto last_at = started;
    int stalls = 0;
    ASSERT_TRUE(run_until([&] {
        if (chain.stops > 0)
            return true; // stopped: the position is 0 again
        const std::int64_t position = chain.out->Position();
        const auto now = std::chrono::steady_clock::now();
        EXPECT_GE(position, last);
        // While a buffer's worth is still ahead, 20 ms of the clock moves it.
        if (position < frames - 2040 && position == last && now - last_at > std::chrono::milliseconds(20))
            ++stalls;
        if (position != last) {
            last = position;
            last_at = now;
        }
        return false;
    }));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(stalls, 0);
    EXPECT_GE(took, std::chrono::milliseconds(600));
    EXPECT_LT(took, std::chrono::milliseconds(1100)) << "a hang guard: the end is told as it plays";
    ExpectContiguousFrom(0, frames);
}

TEST_F(WaveOutTest, ShortStreamQueuesOnlyWhatHoldsDataAndStopsOnce)
{
    Chain chain(3 * 2040 + 17); // three full buffers and a bit
    chain.out->Start();
    EXPECT_EQ(chain.out->BuffersInUse(), 4);
    ASSERT_TRUE(run_until([&] { return chain.stops > 0; }));
    test::pump_for(50);
    EXPECT_EQ(chain.stops, 1);
    ExpectContiguousFrom(0, 3 * 2040 + 17);

    // Shorter than one buffer.
    SimRecorder::clear();
    Chain tiny(100);
    tiny.out->Start();
    EXPECT_EQ(tiny.out->BuffersInUse(), 1);
    ASSERT_TRUE(run_until([&] { return tiny.stops > 0; }));
    test::pump_for(50);
    EXPECT_EQ(tiny.stops, 1);
    ExpectContiguousFrom(0, 100);
}

TEST_F(WaveOutTest, SourceWithNoDataFailsToStartAndLeavesTheDeviceClosed)
{
    Chain chain(0);
    try {
        chain.out->Start();
        FAIL() << "Start succeeded without data";
    } catch (const EMMWaveOutError& error) {
        EXPECT_EQ(std::string(error.what()), "WaveOutStart:\n\rUnable to start device");
    }
    EXPECT_EQ(chain.out->State(), 0);
    EXPECT_FALSE(chain.out->IsOpen());
    EXPECT_EQ(chain.errors, 1);
    EXPECT_EQ(chain.stops, 0) << "a play that never started does not end";
    EXPECT_EQ(chain.closes, 1);
    EXPECT_FALSE(chain.source->IsOpened());
}

TEST_F(WaveOutTest, StreamEndingOnABufferBoundaryEndsWithoutError)
{
    // A reader that promises more after its last full buffer, then has nothing.
    Chain chain(12 * 2040);
    chain.source->more_while_full = true;
    chain.out->Start();
    ASSERT_TRUE(run_until([&] { return chain.stops > 0; }));
    test::pump_for(50);
    EXPECT_EQ(chain.errors, 0);
    EXPECT_EQ(chain.stops, 1);
    EXPECT_TRUE(chain.out->IsOpen());
    ExpectContiguousFrom(0, 12 * 2040);
}

TEST_F(WaveOutTest, EmptyLoadThatPromisesMoreEndsTheThreadAndClosesTheDevice)
{
    Chain chain(44100 * 10);
    chain.source->empty_after_loads = 12;
    QString reported;
    auto previous = TMMWaveOut::ReportThreadError;
    TMMWaveOut::ReportThreadError = [&](const QString& text) { reported = text; };
    chain.out->Start();
    const bool closed = run_until([&] { return chain.closes > 0; });
    TMMWaveOut::ReportThreadError = previous;
    ASSERT_TRUE(closed) << chain.errors << " " << chain.stops << " " << chain.source->loads() << " " << chain.out->State();
    EXPECT_EQ(reported, QStringLiteral("Error filling wave buffer"));
    EXPECT_EQ(chain.out->LastThreadError(), QStringLiteral("Error filling wave buffer"));
    EXPECT_EQ(chain.errors, 1);
    EXPECT_EQ(chain.stops, 1);
    EXPECT_FALSE(chain.out->IsOpen());
}

using test::Gate;

TEST_F(WaveOutTest, StopWhileAHandlerRunsCompletesThroughTheEndMessageOnce)
{
    Chain chain(44100 * 30);
    Gate gate;
    chain.source->on_load = [&] { gate.pass(); };
    gate.arm();
    chain.out->Start();
    gate.wait_entered(); // a handler is inside BufferLoad now
    chain.out->Stop();
    EXPECT_EQ(chain.stops, 0) << "the stop completes through the handler";
    EXPECT_TRUE(chain.out->IsPlaying());
    gate.release();
    ASSERT_TRUE(run_until([&] { return chain.stops > 0; }));
    test::pump_for(50);
    EXPECT_EQ(chain.stops, 1);
    EXPECT_FALSE(chain.out->IsPlaying());
    EXPECT_TRUE(chain.out->IsOpen());
    EXPECT_EQ(chain.out->Allocator().BlocksInUse(), 0u);
}

TEST_F(WaveOutTest, CloseDuringAPendingStopClosesAfterTheStop)
{
    Chain chain(44100 * 30);
    Gate gate;
    chain.source->on_load = [&] { gate.pass(); };
    gate.arm();
    chain.out->Start();
    gate.wait_entered();
    chain.out->Close();
    EXPECT_TRUE(chain.out->IsOpen());
    EXPECT_EQ(chain.closes, 0);
    EXPECT_EQ(chain.out->Position(), 0) << "a pending close reads as position 0";
    gate.release();
    ASSERT_TRUE(run_until([&] { return chain.closes > 0; }));
    test::pump_for(50);
    EXPECT_EQ(chain.order, (std::vector<std::string>{"stop", "close"}));
    EXPECT_FALSE(chain.out->IsOpen());
    EXPECT_FALSE(chain.source->IsOpened());
}

TEST_F(WaveOutTest, PauseHoldsThePositionAndRestartLosesAndRepeatsNothing)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:8"));
    const std::int64_t frames = 44100 * 3;
    Chain chain(frames);
    chain.out->SetTimeFormat(TMMWaveOut::tfSample);
    chain.out->Start();
    ASSERT_TRUE(run_until([&] { return chain.out->Position() > 44100 / 2; }));
    chain.out->Pause();
    EXPECT_TRUE(chain.out->IsPaused());
    const std::int64_t held = chain.out->Position();
    test::pump_for(150);
    EXPECT_EQ(chain.out->Position(), held);
    const std::uint64_t buffers_at_pause = SimRecorder::played_buffers();
    test::pump_for(50);
    EXPECT_EQ(SimRecorder::played_buffers(), buffers_at_pause);
    chain.out->Restart();
    EXPECT_FALSE(chain.out->IsPaused());
    ASSERT_TRUE(run_until([&] { return chain.stops > 0; }));
    EXPECT_EQ(chain.stops, 1);
    ExpectContiguousFrom(0, frames);
}

TEST_F(WaveOutTest, PauseBeforeStartQueuesButWaitsForRestart)
{
    Chain chain(44100);
    chain.out->Pause(); // opens the device and marks it paused
    EXPECT_TRUE(chain.out->IsOpen());
    EXPECT_TRUE(chain.out->IsPaused());
    chain.out->Start();
    EXPECT_TRUE(chain.out->IsPlaying());
    test::pump_for(100);
    EXPECT_EQ(SimRecorder::played_buffers(), 0u);
    EXPECT_EQ(chain.stops, 0);
    chain.out->Restart();
    ASSERT_TRUE(run_until([&] { return chain.stops > 0; }));
    ExpectContiguousFrom(0, 44100);
}

TEST_F(WaveOutTest, PositionInEveryTimeFormatAndZeroWhenClosed)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:4"));
    Chain chain(44100 * 2);
    EXPECT_EQ(chain.out->Position(), 0);
    chain.out->SetTimeFormat(TMMWaveOut::tfSample);
    chain.out->Start();
    ASSERT_TRUE(run_until([&] { return chain.out->Position() >= 22050; }));
    chain.out->Pause();
    const std::int64_t samples = chain.out->Position();
    chain.out->SetTimeFormat(TMMWaveOut::tfByte);
    EXPECT_EQ(chain.out->Position(), samples * 4);
    chain.out->SetTimeFormat(TMMWaveOut::tfMillisecond);
    EXPECT_EQ(chain.out->Position(), samples * 1000 / 44100);
    chain.out->Close();
    EXPECT_EQ(chain.out->Position(), 0);
}

TEST_F(WaveOutTest, WrappingDeviceCounterDoesNotMoveThePositionBack)
{
    // The device's 32-bit sample counter passes 2^32 during this play.
    ASSERT_TRUE(platform::wave::select_wave_system("sim:4"));
    SimRecorder::set_counter_start(0xFFFFFFFFu - 20000);
    Chain chain(44100);
    chain.out->SetTimeFormat(TMMWaveOut::tfSample);
    std::vector<std::int64_t> positions;
    chain.out->Start();
    run_until([&] {
        const std::int64_t position = chain.out->Position();
        if (chain.out->IsPlaying() && chain.stops == 0)
            positions.push_back(position);
        return chain.stops > 0;
    });
    ASSERT_EQ(chain.stops, 1);
    ASSERT_GT(positions.size(), 10u);
    for (std::size_t i = 1; i < positions.size(); ++i)
        ASSERT_GE(positions[i], positions[i - 1]) << "at reading " << i;
    EXPECT_GE(positions.back() - positions.front(), 30000);
}

TEST_F(WaveOutTest, PropertyClampsAndChangesWhileOpen)
{
    TMMWaveOut out;
    EXPECT_EQ(out.NumBuffers(), 10);
    out.SetNumBuffers(1);
    EXPECT_EQ(out.NumBuffers(), 10);
    out.SetNumBuffers(1000);
    EXPECT_EQ(out.NumBuffers(), 500);
    out.SetBufferSize(10);
    EXPECT_EQ(out.BufferSize(), 32);
    EXPECT_EQ(out.TimeFormat(), TMMWaveOut::tfByte);
    EXPECT_EQ(out.CallBackMode(), TMMWaveOut::cmWindow);
    EXPECT_EQ(out.Priority(), TMMWaveOut::tpHigher);
    out.SetDeviceID(5);
    EXPECT_EQ(out.DeviceID(), TMMWaveOut::kInvalidDevice);
    out.SetDeviceID(-1);
    EXPECT_EQ(out.DeviceID(), TMMWaveOut::kWaveMapper);
    out.SetDeviceID(0);
    EXPECT_EQ(out.ProductName(), QStringLiteral("Simulated wave output"));

    QString caption, text;
    auto previous = TMMWaveOut::ShowMessage;
    TMMWaveOut::ShowMessage = [&](const QString& c, const QString& t) { caption = c; text = t; };
    out.SetCallBackMode(TMMWaveOut::cmCallback);
    TMMWaveOut::ShowMessage = previous;
    EXPECT_EQ(out.CallBackMode(), TMMWaveOut::cmWindow);
    EXPECT_EQ(caption, QStringLiteral("TMMWaveOut"));
    EXPECT_EQ(text, QStringLiteral("\"CallBacks\" are called at interrupt time !\n\r"
                                   "This is currently only supported under Windows 95"));

    IndexedPcmSource source(44100);
    out.SetInput(&source);
    out.Open();
    for (auto change : std::vector<std::function<void()>>{
             [&] { out.SetBufferSize(4096); }, [&] { out.SetNumBuffers(4); },
             [&] { out.SetDeviceID(0); }, [&] { out.SetCallBackMode(TMMWaveOut::cmThread); }}) {
        try {
            change();
            ADD_FAILURE() << "a change while open was accepted";
        } catch (const EMMWaveOutError& error) {
            EXPECT_EQ(std::string(error.what()), "Change to property while device was open");
        }
    }
    EXPECT_EQ(out.BufferSize(), 32);
    out.Close();
}

TEST_F(WaveOutTest, ChangingTheBufferSizeFreesTheCachedBlocks)
{
    Chain chain(44100);
    chain.out->Start();
    ASSERT_TRUE(run_until([&] { return chain.stops > 0; }));
    EXPECT_EQ(chain.out->Allocator().BlockCount(), 10u);
    chain.out->Close();
    chain.out->SetBufferSize(4096);
    EXPECT_EQ(chain.out->Allocator().BlockCount(), 0u);
    SimRecorder::clear();
    chain.source->Seek(0);
    chain.out->Start();
    ASSERT_TRUE(run_until([&] { return chain.stops > 1; }));
    ExpectContiguousFrom(0, 44100);
}

TEST_F(WaveOutTest, ExtremeBufferCountsPlayEverything)
{
    for (int count : {2, 500}) {
        SimRecorder::clear();
        Chain chain(44100, 32);
        chain.out->SetNumBuffers(count);
        chain.out->Start();
        ASSERT_TRUE(run_until([&] { return chain.stops > 0; })) << count;
        test::pump_for(20);
        EXPECT_EQ(chain.stops, 1) << count;
        ExpectContiguousFrom(0, 44100);
    }
}

TEST_F(WaveOutTest, WindowModeHandlesBuffersOnTheMainThread)
{
    Chain chain(44100);
    chain.out->SetCallBackMode(TMMWaveOut::cmWindow);
    bool off_main = false;
    chain.source->on_load = [&] { off_main = off_main || !platform::is_main_thread(); };
    chain.out->Start();
    ASSERT_TRUE(run_until([&] { return chain.stops > 0; }));
    EXPECT_FALSE(off_main);
    EXPECT_EQ(chain.stops, 1);
    ExpectContiguousFrom(0, 44100);
}

TEST_F(WaveOutTest, StopAndStartAgainIgnoresTheStaleEndMessage)
{
    Chain chain(2040 * 3);
    chain.out->Start();
    // Let the end-of-data message be posted but not delivered.
    ASSERT_TRUE(run_until([&] { return SimRecorder::played_buffers() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    chain.out->Stop();
    EXPECT_EQ(chain.stops, 1);
    chain.source->Seek(0);
    chain.source->more_while_full = false;
    Chain* c = &chain;
    c->out->Start();
    ASSERT_TRUE(run_until([&] { return chain.stops > 1; }));
    test::pump_for(50);
    EXPECT_EQ(chain.stops, 2);
}

TEST_F(WaveOutTest, NoDeviceAtAllIsReportedByName)
{
    ASSERT_TRUE(platform::wave::select_wave_system("alsa"));
    if (platform::wave::wave_system().device_count() > 0)
        GTEST_SKIP() << "this machine has a sound device";
    TMMWaveOut out;
    EXPECT_EQ(out.ProductName(), QStringLiteral("No wave audio playing device found"));
    IndexedPcmSource source(1000);
    out.SetInput(&source);
    try {
        out.Start();
        FAIL() << "started without a device";
    } catch (const EMMWaveOutError& error) {
        EXPECT_EQ(std::string(error.what()), "No wave audio playing device found");
    }
    EXPECT_FALSE(out.IsOpen());
}

TEST_F(WaveOutTest, OpenWithoutAFormatIsRefused)
{
    TMMWaveOut out;
    try {
        out.Open();
        FAIL();
    } catch (const EMMWaveOutError& error) {
        EXPECT_EQ(std::string(error.what()), "WaveOutOpen:\n\rInvalid wave format");
    }
    WaveFormat odd = make_pcm_format(44100, 24, 2);
    out.SetPWaveFormat(&odd);
    try {
        out.Open();
        FAIL();
    } catch (const EMMWaveOutError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "WaveOutOpen:\n\rThe actual device can''t play this format");
    }
    EXPECT_FALSE(out.IsOpen());
}

TEST_F(WaveOutTest, AlsaNullDevicePlaysToTheEnd)
{
    ASSERT_TRUE(platform::wave::select_wave_system("alsa:null"));
    Chain chain(44100 * 2);
    chain.out->SetTimeFormat(TMMWaveOut::tfSample);
    chain.out->Start();
    ASSERT_TRUE(run_until([&] { return chain.stops > 0; }));
    test::pump_for(50);
    EXPECT_EQ(chain.stops, 1);
    EXPECT_EQ(chain.errors, 0);
    EXPECT_EQ(chain.source->position(), 44100 * 2);
    chain.out->Close();
    EXPECT_EQ(chain.closes, 1);
}

} // namespace
} // namespace pelu
