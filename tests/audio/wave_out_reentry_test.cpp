// The wave output driven the way the band drives it: OnStop handlers that start
// the next title or the same one again, Stop followed at once by Start, a close
// or a format change while a buffer handler holds the stop, and a failure of the
// callback thread. Whatever the path, a start either plays on a properly opened
// device (and ends with one OnStop) or fails with the output's error.
#include "audio/wave_out.h"
#include "logged_output.h"
#include "pcm_test_source.h"

#include "platform/wave/wave_device.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace pelu {
namespace {

using platform::wave::SimRecorder;
using test::Gate;
using test::IndexedPcmSource;
using test::run_until;
using Output = test::LoggedOutput;

class WaveOutReentryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(platform::wave::select_wave_system("sim:0"));
        SimRecorder::clear();
        SimRecorder::set_enabled(true);
    }
    void TearDown() override
    {
        SimRecorder::set_enabled(false);
        SimRecorder::clear();
        platform::wave::select_wave_system("sim:0");
    }

    // The frames the sim device played, as the source's frame numbers.
    static std::vector<std::int64_t> PlayedFrames()
    {
        const std::vector<char> bytes = SimRecorder::played_bytes();
        std::vector<std::int64_t> frames;
        for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4)
            frames.push_back(test::frame_index_at(bytes.data() + at));
        return frames;
    }

    // True when `frames` ends with first, first + 1, ..., last.
    static bool EndsWithRun(const std::vector<std::int64_t>& frames, std::int64_t first, std::int64_t last)
    {
        const std::int64_t count = last - first + 1;
        if (std::int64_t(frames.size()) < count)
            return false;
        for (std::int64_t i = 0; i < count; ++i)
            if (frames[frames.size() - count + i] != first + i)
                return false;
        return true;
    }
};

TEST_F(WaveOutReentryTest, LoopingFromOnStopWhileACloseWaitsReopensInsteadOfRecursing)
{
    // Loop Track: OnStop starts the same title again. The user closed while a
    // buffer handler held the stop, so the close is pending when OnStop fires.
    // The play started again is held at its first handler too: a fast device
    // could otherwise play all of it before the test looks.
    IndexedPcmSource source(44100 * 30);
    Gate gate, again;
    source.on_load = [&] { gate.pass(); };
    Output o(&source);
    int loops = 0;
    o.on_stop = [&] {
        if (++loops > 1)
            return; // loop once
        source.Seek(0);
        source.on_load = [&] { again.pass(); };
        again.arm();
        o.out.Start();
    };
    gate.arm();
    o.out.Start();
    gate.wait_entered();
    o.out.Close();
    EXPECT_EQ(o.log, "OS") << "the close waits for the stop";
    gate.release();
    ASSERT_TRUE(run_until([&] { return o.count('T') == 1; }));
    // The pending close completed before the title started again on a fresh device.
    EXPECT_EQ(o.log, "OSTCOS");
    EXPECT_TRUE(o.out.IsPlaying());
    again.wait_entered();
    source.Seek(44100 * 30 - 3000); // let it end soon
    again.release();
    ASSERT_TRUE(run_until([&] { return o.count('T') == 2; }));
    test::pump_for(30);
    EXPECT_EQ(o.log, "OSTCOST");
    EXPECT_EQ(loops, 2);
    EXPECT_TRUE(o.out.IsOpen());
}

TEST_F(WaveOutReentryTest, NextTitleStartedFromOnStopAfterACallbackThreadFailurePlaysOnAFreshDevice)
{
    // The first title's reader fails in the middle; the output closes from the
    // main thread and its OnStop handler sets the next title (another format)
    // and starts it.
    IndexedPcmSource first(44100 * 10);
    first.empty_after_loads = 12;
    IndexedPcmSource second(22050 * 2, 22050);
    Output o(&first);
    bool advanced = false;
    o.on_stop = [&] {
        if (advanced)
            return;
        advanced = true;
        SimRecorder::clear();
        o.out.SetInput(&second); // the next title's format reaches the output
        o.out.Start();
    };
    o.out.Start();
    ASSERT_TRUE(run_until([&] { return o.count('T') == 2; })) << "log " << o.log;
    test::pump_for(30);
    EXPECT_EQ(o.reports, std::vector<QString>{QStringLiteral("Error filling wave buffer")});
    // Error, stop, the failed device closed, the next title opened and played to its end.
    EXPECT_EQ(o.log, "OSETCOST");
    const std::vector<std::int64_t> frames = PlayedFrames();
    EXPECT_EQ(frames.size(), std::size_t(22050 * 2));
    EXPECT_TRUE(EndsWithRun(frames, 0, 22050 * 2 - 1));
}

TEST_F(WaveOutReentryTest, StartWhileAHandlerFinishesTheStopPlaysTheChosenTitle)
{
    // The band's Play: clear the playing flag, Stop, choose the row, Start, set
    // the flag. Here the Stop is deferred (a handler is inside its load), so the
    // old title's OnStop is still to come when Start is called.
    IndexedPcmSource source(44100 * 30);
    Gate gate;
    source.on_load = [&] { gate.pass(); };
    Output o(&source);
    bool playing_flag = true;
    int advances = 0, stopped_branch = 0;
    std::int64_t where_the_old_play_left = -1;
    o.on_stop = [&] {
        if (playing_flag) {
            ++advances; // the band would move to the next row here
        } else {
            ++stopped_branch;
            where_the_old_play_left = source.position();
        }
    };
    gate.arm();
    o.out.Start();
    gate.wait_entered();

    playing_flag = false;
    o.out.Stop();
    EXPECT_EQ(o.count('T'), 0) << "deferred: the handler completes the stop";
    // Near the end, so the new play ends soon; the handler is let go while Start waits.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate.release();
    });
    source.Seek(44100 * 30 - 20000);
    SimRecorder::clear();
    o.out.Start();
    releaser.join();
    playing_flag = true;
    EXPECT_EQ(o.log, "OSTS") << "the old play's OnStop came first, then the new play started";
    EXPECT_EQ(stopped_branch, 1);
    EXPECT_EQ(advances, 0);
    EXPECT_TRUE(o.out.IsPlaying());

    ASSERT_TRUE(run_until([&] { return o.count('T') == 2; }));
    test::pump_for(30);
    EXPECT_EQ(o.log, "OSTST") << "the late end-of-data message of the old play changed nothing";
    EXPECT_EQ(advances, 1); // the chosen title ended by itself
    // The new play took up the title where the old one's last load left it and
    // played it to its end, nothing twice and nothing left out.
    const std::vector<std::int64_t> frames = PlayedFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front(), where_the_old_play_left);
    EXPECT_EQ(std::int64_t(frames.size()), 44100 * 30 - where_the_old_play_left);
    EXPECT_TRUE(EndsWithRun(frames, where_the_old_play_left, 44100 * 30 - 1));
}

TEST_F(WaveOutReentryTest, AFormatChangeWhileAHandlerHoldsTheStopClosesOnceThenTheNewTitlePlays)
{
    // Play with another row: Stop (deferred), the new title's format arrives
    // (the output must close), Start.
    IndexedPcmSource first(44100 * 30);
    IndexedPcmSource second(22050, 22050);
    Gate gate;
    first.on_load = [&] { gate.pass(); };
    Output o(&first);
    gate.arm();
    o.out.Start();
    gate.wait_entered();
    o.out.Stop();
    o.out.SetInput(&second); // like the file source's new name: a new format
    EXPECT_EQ(o.log, "OS");
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate.release();
    });
    SimRecorder::clear();
    o.out.Start();
    releaser.join();
    EXPECT_EQ(o.log, "OSTCOS");
    ASSERT_TRUE(run_until([&] { return o.count('T') == 2; }));
    test::pump_for(30);
    EXPECT_EQ(o.log, "OSTCOST");
    const std::vector<std::int64_t> frames = PlayedFrames();
    EXPECT_EQ(frames.size(), 22050u);
    EXPECT_TRUE(EndsWithRun(frames, 0, 22049));
}

TEST_F(WaveOutReentryTest, OnStopHandlersThatStartAgainEndEveryPlayWithOneOnStop)
{
    // The title ends by itself, the handler starts it again; a user Stop and a
    // Close inside the handler's own chain of starts.
    IndexedPcmSource source(2040 * 3 + 5);
    Output o(&source);
    int plays = 0;
    o.on_stop = [&] {
        if (++plays < 20) {
            source.Seek(0);
            o.out.Start();
        }
    };
    o.out.Start();
    ASSERT_TRUE(run_until([&] { return plays == 20; }));
    test::pump_for(30);
    EXPECT_EQ(o.count('S'), 20);
    EXPECT_EQ(o.count('T'), 20);
    EXPECT_EQ(o.count('E'), 0);

    // A user Stop while a play runs: OnStop starts again, synchronously. Each
    // play here starts paused, so the device holds its buffers and no buffer
    // handler runs when the Stop or the Close comes: they complete at once (a
    // stop a running handler holds is the gated tests' case).
    plays = 0;
    o.log.clear();
    source.Seek(0);
    o.on_stop = [&] {
        if (++plays == 1) {
            source.Seek(0);
            o.out.Pause();
            o.out.Start();
        }
    };
    o.out.Pause();
    o.out.Start();
    o.out.Stop();
    EXPECT_EQ(o.log, "STS");
    EXPECT_TRUE(o.out.IsPlaying());
    // Close: the stop's handler starts again, which finishes the close first.
    o.on_stop = [&] {
        if (++plays == 2) {
            source.Seek(0);
            o.out.Start();
        }
    };
    o.out.Close();
    EXPECT_EQ(o.log, "STSTCOS");
    EXPECT_TRUE(o.out.IsPlaying());
    ASSERT_TRUE(run_until([&] { return o.count('T') == 3; }));
    o.out.Close();
    EXPECT_EQ(o.log, "STSTCOSTC");
}

TEST_F(WaveOutReentryTest, PropertyWritesWhileOpenFireOnErrorBeforeRaising)
{
    IndexedPcmSource source(44100);
    Output o(&source);
    o.out.Open();
    int raised = 0;
    for (auto change : std::vector<std::function<void()>>{
             [&] { o.out.SetBufferSize(4096); }, [&] { o.out.SetNumBuffers(4); },
             [&] { o.out.SetDeviceID(0); }, [&] { o.out.SetCallBackMode(TMMWaveOut::cmWindow); }}) {
        try {
            change();
        } catch (const EMMWaveOutError& error) {
            ++raised;
            EXPECT_EQ(std::string(error.what()), "Change to property while device was open");
        }
    }
    EXPECT_EQ(raised, 4);
    EXPECT_EQ(o.count('E'), 4);
    o.out.Close();
}

} // namespace
} // namespace pelu
