#include "audio/connector.h"
#include "audio/wave_out.h"
#include "pcm_test_source.h"

#include "platform/wave/wave_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

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

// The player's end of the chain behind a source: output and connector with a display.
struct Rig {
    explicit Rig(TMMDSPComponent* source)
    {
        out.SetCallBackMode(TMMWaveOut::cmThread);
        out.SetBufferSize(8160);
        connector.SetLevel1(&display);
        out.SetInput(source);
        out.SetOutput(&connector);
    }
    // Destroyed in reverse: the output (which stops) before the connector and display.
    CountingDisplay display;
    TMMConnector connector;
    TMMWaveOut out;
};

// Start, seek, pause, restart, stop and close in random order on the sim
// device, with the main loop turning in between so end-of-data messages and
// the connector's pump interleave with the operations. Every Start that
// returns must be answered by exactly one OnStop before the next Start.
TEST(WaveOutStress, RandomOperationsNeitherDeadlockNorLeak)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:0"));
    test::IndexedPcmSource source(2040 * 25);
    Rig rig(&source);
    TMMWaveOut& out = rig.out;
    TMMConnector& connector = rig.connector;

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

// A head of the chain that plays one of several titles, the way the file source
// plays one file: choosing another title (under its lock, as a new file name is
// taken) sends that title's format down the chain, which closes the output.
class Jukebox : public TMMDSPComponent {
public:
    Jukebox()
    {
        accepts_output_ = true;
        const std::int64_t lengths[] = {2040 * 3 + 7, 2040 * 12, 2040 * 25 + 100, 900};
        for (int i = 0; i < 4; ++i)
            titles_.push_back(std::make_unique<test::IndexedPcmSource>(lengths[i], i % 2 ? 22050 : 44100));
        Select(0);
    }
    int Count() const { return int(titles_.size()); }
    int Current() const { return current_; }
    void Select(int index)
    {
        std::lock_guard lock(mutex_);
        current_ = index;
        titles_[index]->Seek(0);
        SetPWaveFormat(titles_[index]->GetPWaveFormat());
    }
    void Seek(std::int64_t frame)
    {
        std::lock_guard lock(mutex_);
        titles_[current_]->Seek(frame);
    }
    void BufferLoad(ExtendedWaveHeader* h, bool& more) override
    {
        if (slow_loads > 0) {
            --slow_loads; // a slow read: a stop now has to wait for this load
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::lock_guard lock(mutex_);
        if (!IsStarted()) {
            h->bytes_recorded = 0;
            more = false;
            return;
        }
        titles_[current_]->BufferLoad(h, more);
    }
    std::atomic<int> slow_loads{0};

private:
    std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<test::IndexedPcmSource>> titles_;
    int current_ = 0;
};

// The band's own use of the output, ten thousand times at random: Play (clear
// the playing flag, Stop, choose a title, Start, set the flag), Stop, Pause and
// Restart, Close, seeks; an OnStop handler that, while the flag is set, starts
// the next title or the same one again; slow loads that defer stops; devices
// that fail while playing or cannot be opened. Every operation returns within a
// second (and a second for each play it chained), every play that started ends with exactly one OnStop, a Start either
// starts or raises, and nothing is left behind.
TEST(WaveOutStress, TheBandsPatternWithFailuresTenThousandOperations)
{
    namespace wave = platform::wave;
    ASSERT_TRUE(wave::select_wave_system("sim:0"));
    Jukebox jukebox;
    Rig rig(&jukebox);
    TMMWaveOut& out = rig.out;
    TMMConnector& connector = rig.connector;
    auto previous_report = TMMWaveOut::ReportThreadError;
    TMMWaveOut::ReportThreadError = [](const QString&) {};

    std::mt19937 random(20240611);
    bool playing_flag = false, loop_track = false;
    bool in_play = false;
    int plays = 0, stops_without_play = 0, starts_within_play = 0, errors = 0;
    int silent_starts = 0, slow_operations = 0, handler_starts = 0;
    out.OnStart = [&](QObject*) {
        if (in_play)
            ++starts_within_play;
        in_play = true;
        ++plays;
    };
    out.OnError = [&](QObject*) { ++errors; };
    auto start = [&](const char*) {
        const int plays_before = plays;
        try {
            out.Start();
            if (plays == plays_before && !out.IsPlaying())
                ++silent_starts;
        } catch (const EMMWaveOutError&) {
            // The band's handlers swallow it (the title was at its end, the card gone).
        }
    };
    out.OnStop = [&](QObject*) {
        if (!in_play)
            ++stops_without_play;
        in_play = false;
        if (!playing_flag)
            return; // stopped by a command
        ++handler_starts;
        if (loop_track)
            jukebox.Seek(0);
        else
            jukebox.Select((jukebox.Current() + 1) % jukebox.Count());
        start("advance");
    };

    const int kOperations = 10000;
    std::string slow_ones;
    for (int i = 0; i < kOperations; ++i) {
        const auto begun = std::chrono::steady_clock::now();
        const int plays_before = plays;
        const int operation = int(random() % 12);
        try {
            switch (operation) {
            case 0:
            case 1:
            case 2: // Play a row
                playing_flag = false;
                out.Stop();
                jukebox.Select(int(random() % jukebox.Count()));
                start("play");
                playing_flag = true;
                break;
            case 3: // the Stop button
                playing_flag = false;
                out.Stop();
                break;
            case 4: // the Pause button
                if (out.IsPlaying() && !out.IsPaused())
                    out.Pause();
                else
                    out.Restart();
                break;
            case 5:
                out.Close();
                break;
            case 6:
                jukebox.Seek(random() % 4000);
                break;
            case 7:
                loop_track = !loop_track;
                break;
            case 8:
                jukebox.slow_loads = 1 + int(random() % 3);
                break;
            case 9: // the next device opened fails while playing
                wave::SimFaults::fail_next_device_after(random() % 8, -ENODEV);
                break;
            case 10: // or cannot be opened at all
                if (random() % 4 == 0)
                    wave::SimFaults::fail_next_opens(1, -ENODEV);
                break;
            case 11:
                test::pump_for(int(random() % 3));
                break;
            }
        } catch (const EMMWaveOutError&) {
        }
        // A turn of the main loop also runs every play that OnStop handlers
        // chain meanwhile (on the unpaced device, hundreds end within it under
        // the thread sanitizer): a second is allowed for each.
        const auto took = std::chrono::steady_clock::now() - begun;
        if (took > std::chrono::seconds(1) * std::max(1, plays - plays_before)) {
            ++slow_operations;
            slow_ones += " #" + std::to_string(i) + " (operation " + std::to_string(operation) + ", " +
                         std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) +
                         " ms)";
        }
        if (random() % 2 == 0)
            platform::process_pending_events();
    }
    playing_flag = false;
    out.Close();
    test::pump_for(50);
    wave::SimFaults::clear();
    TMMWaveOut::ReportThreadError = previous_report;

    EXPECT_EQ(slow_operations, 0) << "operations that took more than a second:" << slow_ones;
    EXPECT_EQ(silent_starts, 0) << "a Start that neither started nor raised";
    EXPECT_EQ(starts_within_play, 0) << "a play started before the last one stopped";
    EXPECT_EQ(stops_without_play, 0) << "OnStop without a play";
    EXPECT_FALSE(in_play) << "the last play never stopped";
    EXPECT_GT(plays, 1000);
    EXPECT_GT(handler_starts, 100);
    EXPECT_GT(errors, 50);
    EXPECT_FALSE(out.IsOpen());
    EXPECT_EQ(out.Allocator().BlocksInUse(), 0u);
    EXPECT_EQ(TMMDSPThread::ThreadCount(), 0u);
    EXPECT_FALSE(connector.IsRunning());
}

} // namespace
} // namespace pelu
