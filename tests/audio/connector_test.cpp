#include "audio/frequency_analyser.h"
#include "audio/connector.h"
#include "audio/level.h"
#include "audio/wave_out.h"
#include "pcm_test_source.h"

#include "platform/wave/wave_device.h"
#include "expect_raises.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace pelu {
namespace {

using test::IndexedPcmSource;
using test::run_until;

// A display that keeps what it was given.
class RecordingDisplay : public TMMDisplay {
public:
    explicit RecordingDisplay(int data_size) : data_size_(data_size) {}
    void SetPWaveFormat(const WaveFormat* format) override
    {
        ++formats;
        bits = format ? format->bits_per_sample : 0;
    }
    int DataSize() const override { return data_size_; }
    void ProcessData(const char* data) override
    {
        slices.push_back(std::vector<char>(data, data + data_size_));
        if (on_data)
            on_data(data);
    }
    void ResetDisplay() override { ++resets; }

    int formats = 0, resets = 0, bits = 0;
    std::vector<std::vector<char>> slices;
    std::function<void(const char*)> on_data;

private:
    int data_size_;
};

class ConnectorTest : public ::testing::Test {
protected:
    void SetUp() override { platform::wave::select_wave_system("sim:0"); }
    void TearDown() override { platform::wave::select_wave_system("sim:0"); }

    // A connector driven by hand, as the device's propagation would.
    static void StartAlone(TMMConnector& connector, const WaveFormat& format, int buffer_bytes)
    {
        connector.SetPWaveFormat(&format);
        connector.SetBufferSize(buffer_bytes);
        connector.Opened();
        connector.Started();
        if (connector.RealTime())
            run_until([&] { return connector.IsActive(); }, 2000);
    }

    static ExtendedWaveHeader Header(std::vector<char>& data, std::uint32_t bytes)
    {
        ExtendedWaveHeader h;
        h.data = data.data();
        h.buffer_length = h.bytes_recorded = h.saved_length = bytes;
        return h;
    }
};

TEST_F(ConnectorTest, EachSliceReachesTheDisplaysNoEarlierThanTheSimClockPlaysIt)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:1"));
    IndexedPcmSource source(44100 * 3 / 2);
    TMMWaveOut out;
    out.SetCallBackMode(TMMWaveOut::cmThread);
    out.SetBufferSize(8160);
    out.SetTimeFormat(TMMWaveOut::tfSample);
    TMMConnector connector;
    out.SetInput(&source);
    out.SetOutput(&connector);
    RecordingDisplay level(1024), spectrum(2048);
    connector.SetLevel1(&level);
    connector.SetSpectrum1(&spectrum);
    int early = 0, checked = 0;
    std::int64_t last_start = -1;
    bool ordered = true;
    auto check = [&](const char* data) {
        const std::int64_t slice_start = test::frame_index_at(data);
        const std::int64_t played = out.Position();
        ++checked;
        if (slice_start > played)
            ++early;
        // Never back in time, except that the last buffer, with nothing playing
        // after it, is shown once more as the finished buffer.
        ordered = ordered && (slice_start > last_start || slice_start >= 44100 * 3 / 2 - 2040);
        last_start = slice_start;
    };
    level.on_data = check;
    int stops = 0;
    out.OnStop = [&](QObject*) { ++stops; };
    out.Start();
    ASSERT_TRUE(run_until([&] { return stops > 0; }));
    EXPECT_GT(checked, 40);
    EXPECT_EQ(early, 0) << "slices shown before their sound played";
    EXPECT_TRUE(ordered);
    EXPECT_GT(spectrum.slices.size(), 20u);
    EXPECT_EQ(connector.RefreshCount(TMMConnector::gLevels), int(level.slices.size()));
    // Stopping cleared every display and the connector is idle again.
    EXPECT_GE(level.resets, 1);
    EXPECT_FALSE(connector.IsRunning());
    EXPECT_FALSE(connector.IsActive());
}

// A buffer of 8160 bytes holds two whole slices of 3000 bytes: the pump wakes
// for those (the buffer's arrival, and the second slice's time), not once
// more at the third slice's time just to find that it does not fit; every
// slice that fits still reaches the display.
TEST_F(ConnectorTest, ThePumpWakesOnlyForSlicesThatAreDue)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:1"));
    IndexedPcmSource source(44100);
    TMMWaveOut out;
    out.SetCallBackMode(TMMWaveOut::cmThread);
    out.SetBufferSize(8160);
    TMMConnector connector;
    out.SetInput(&source);
    out.SetOutput(&connector);
    RecordingDisplay level(3000);
    connector.SetLevel1(&level);
    int passes = 0, stops = 0;
    std::atomic<int> buffers{0}; // counted on the callback thread
    connector.OnTrigger = [&](QObject*) { ++passes; };
    out.OnBufferFilled = [&](TMMDSPComponent*, ExtendedWaveHeader*) { ++buffers; };
    out.OnStop = [&](QObject*) { ++stops; };
    out.Start();
    ASSERT_TRUE(run_until([&] { return stops > 0; }));
    const int filled = buffers.load();
    ASSERT_GT(filled, 15);
    EXPECT_LE(passes, 2 * filled + 2) << "feeding passes for " << filled << " buffers";
    EXPECT_GE(int(level.slices.size()), filled) << "a slice of every buffer at least";
    EXPECT_EQ(connector.RefreshCount(TMMConnector::gLevels), int(level.slices.size()));
}

TEST_F(ConnectorTest, EmptyFinishedBufferAndOversizedStepShowNothing)
{
    TMMConnector connector;
    RecordingDisplay level(256), big(4096);
    connector.SetLevel1(&level);
    connector.SetSpectrum1(&big);
    connector.SetSynchronize(false);
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    StartAlone(connector, format, 2048);
    ASSERT_TRUE(connector.IsActive());

    std::vector<char> finished(2048, 1), playing(2048, 2);
    ExtendedWaveHeader now = Header(playing, 2048);
    ExtendedWaveHeader done = Header(finished, 0);
    done.next_header = &now;
    connector.SetSynchronize(true);
    connector.BufferReady(&done); // 0 bytes: the finished buffer itself, so nothing
    test::pump_for(30);
    EXPECT_TRUE(level.slices.empty());

    done.bytes_recorded = 2048;
    connector.BufferReady(&done); // now the playing buffer is shown
    ASSERT_TRUE(run_until([&] { return level.slices.size() == 8; }, 2000));
    test::pump_for(30);
    EXPECT_EQ(level.slices.size(), 8u);
    EXPECT_EQ(level.slices[0][0], 2);
    // 4096 bytes per refresh never fit 2048 bytes of data.
    EXPECT_TRUE(big.slices.empty());
    EXPECT_EQ(connector.RefreshCount(TMMConnector::gSpectra), 0);
    connector.Stopped();
}

TEST_F(ConnectorTest, PauseFeedsSilenceFromTheTimerAndRestartStopsIt)
{
    for (int bits : {16, 8}) {
        TMMConnector connector;
        RecordingDisplay level(64);
        connector.SetLevel1(&level);
        const WaveFormat format = make_pcm_format(22050, static_cast<std::uint16_t>(bits), 1);
        StartAlone(connector, format, 1024);
        std::vector<char> loud(1024, 0x55);
        ExtendedWaveHeader h = Header(loud, 1024);
        connector.BufferReady(&h);
        ASSERT_TRUE(run_until([&] { return !level.slices.empty(); }, 2000));
        const std::size_t entries_before = platform::TimerService::instance().entry_count();
        connector.Paused();
        EXPECT_EQ(platform::TimerService::instance().entry_count(), entries_before + 1);
        level.slices.clear();
        connector.BufferReady(&h); // ignored while paused
        ASSERT_TRUE(run_until([&] { return level.slices.size() >= 3; }, 3000));
        const char silence = bits == 8 ? char(128) : 0;
        for (const auto& slice : level.slices)
            for (char c : slice)
                ASSERT_EQ(c, silence) << bits << "-bit";
        connector.Restarted();
        EXPECT_EQ(platform::TimerService::instance().entry_count(), entries_before);
        connector.Stopped();
    }
}

TEST_F(ConnectorTest, TogglingEnabledClearsTheDisplaysAndResumesWithTheNextBuffer)
{
    TMMConnector connector;
    RecordingDisplay level(512);
    connector.SetLevel1(&level);
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    StartAlone(connector, format, 2048);
    connector.SetEnabled(false);
    EXPECT_EQ(level.resets, 1);
    EXPECT_FALSE(connector.IsActive());
    std::vector<char> data(2048, 7);
    ExtendedWaveHeader h = Header(data, 2048);
    connector.BufferReady(&h);
    test::pump_for(50);
    EXPECT_TRUE(level.slices.empty());
    connector.SetEnabled(true);
    ASSERT_TRUE(run_until([&] { return connector.IsActive(); }, 2000));
    connector.BufferReady(&h);
    ASSERT_TRUE(run_until([&] { return level.slices.size() == 4; }, 2000));
    connector.Stopped();
}

TEST_F(ConnectorTest, NoUsableFormatLeavesTheConnectorInactiveAndDisplaysUntouched)
{
    TMMConnector connector;
    RecordingDisplay level(64);
    connector.SetLevel1(&level);
    connector.Opened();
    connector.Started();
    test::pump_for(20);
    EXPECT_FALSE(connector.IsRunning());
    EXPECT_EQ(level.formats, 0);

    WaveFormat compressed = make_pcm_format(44100, 16, 2);
    compressed.format_tag = 0x55; // MPEG layer 3
    connector.Stopped();
    connector.SetPWaveFormat(&compressed);
    connector.Started();
    test::pump_for(20);
    EXPECT_FALSE(connector.IsRunning());
    EXPECT_FALSE(connector.IsActive());
    EXPECT_EQ(level.formats, 0);
    EXPECT_EQ(level.resets, 0);
}

TEST_F(ConnectorTest, StopResetsEveryConnectedSlotAndPropertiesHoldTheirRules)
{
    TMMConnector connector;
    EXPECT_TRUE(connector.Enabled());
    EXPECT_TRUE(connector.Synchronize());
    EXPECT_TRUE(connector.RefreshOnStop());
    EXPECT_EQ(connector.TriggerMode(), TMMConnector::tmNone);
    connector.SetSpeed(0);
    EXPECT_EQ(connector.Speed(), 1);
    connector.SetSpeed(9000);
    EXPECT_EQ(connector.Speed(), 5000);

    std::vector<std::unique_ptr<RecordingDisplay>> displays;
    for (int slot = 0; slot < TMMConnector::kSlotCount; ++slot) {
        displays.push_back(std::make_unique<RecordingDisplay>(128));
        connector.SetDisplay(TMMConnector::Slot(slot), displays.back().get());
    }
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    StartAlone(connector, format, 1024);
    for (const auto& d : displays)
        EXPECT_GE(d->formats, 1);
    EXPECT_RAISES(connector.SetRealTime(false), EMMConnectorError, "Change to property while device was open");
    connector.Stopped();
    for (const auto& d : displays)
        EXPECT_EQ(d->resets, 1);
    // A display that goes away leaves an empty slot behind.
    displays[0].reset();
    EXPECT_EQ(connector.Level1(), nullptr);
}

TEST_F(ConnectorTest, WithoutRealTimeDisplaysAreFedInTheCallingThread)
{
    TMMConnector connector;
    connector.SetRealTime(false);
    connector.SetSynchronize(false);
    RecordingDisplay level(1024);
    connector.SetLevel1(&level);
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    StartAlone(connector, format, 2048);
    std::vector<char> data(2048, 3);
    ExtendedWaveHeader h = Header(data, 2048);
    connector.BufferReady(&h); // one slice per pass, no pump
    EXPECT_EQ(level.slices.size(), 1u);
    connector.Trigger();
    EXPECT_EQ(level.slices.size(), 2u);
    connector.Trigger();
    EXPECT_EQ(level.slices.size(), 2u);
    connector.Stopped();
}

TEST_F(ConnectorTest, ABufferArrivingAsThePauseBeginsNeverCoversItsSilence)
{
    // The audio thread copies loud buffers in without pause; the main thread
    // holds the connector's lock in a feeding pass (so the copy waits for it)
    // and pauses right after. Whatever the order, once Paused() has returned the
    // displays must only ever be shown silence.
    TMMConnector connector;
    connector.SetRealTime(false);
    connector.SetAutoTrigger(false);
    connector.SetSynchronize(false);
    RecordingDisplay level(64);
    connector.SetLevel1(&level);
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    StartAlone(connector, format, 64);

    std::vector<char> loud(64, 0x55);
    std::atomic<bool> quit{false};
    std::atomic<std::uint64_t> copies{0};
    std::thread audio([&] {
        while (!quit) {
            connector.DataIn(loud.data(), 64);
            ++copies;
        }
    });
    auto wait_for_copies = [&](std::uint64_t count) {
        const std::uint64_t target = copies.load() + count;
        while (copies.load() < target)
            std::this_thread::yield();
    };
    bool hold = false;
    level.on_data = [&](const char*) {
        // Inside the feeding pass, with the lock held: the next copy queues up on it.
        if (hold)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    };

    int loud_after_pause = 0;
    for (int round = 0; round < 300; ++round) {
        wait_for_copies(1); // something to feed
        hold = true;
        connector.Trigger();
        hold = false;
        connector.Paused();
        wait_for_copies(2); // a copy that was waiting has landed by now
        level.slices.clear();
        connector.Trigger();
        for (const auto& slice : level.slices)
            if (std::any_of(slice.begin(), slice.end(), [](char c) { return c != 0; }))
                ++loud_after_pause;
        connector.Restarted();
    }
    quit = true;
    audio.join();
    connector.Stopped();
    EXPECT_EQ(loud_after_pause, 0) << "rounds whose pause silence a buffer covered";
}

// The band's analysers, recording what they compute after every slice.
struct TracedLevel : TMMLevel {
    void ProcessData(const char* data) override
    {
        TMMLevel::ProcessData(data);
        trace.push_back({RawLevel(), LitSpots()});
    }
    std::vector<std::vector<int>> trace;
};
struct TracedSpectrum : TMMSpectrum {
    void ProcessData(const char* data) override
    {
        TMMSpectrum::ProcessData(data);
        std::vector<int> state(BinValues().begin(), BinValues().end());
        for (const TMMSpectrumBar& bar : Bars())
            state.push_back(bar.lit_spots);
        trace.push_back(state);
    }
    std::vector<std::vector<int>> trace;
};
struct BandAnalysers {
    TracedLevel right, left;
    TracedSpectrum spectrum;
    BandAnalysers()
    {
        for (TMMLevel* level : {static_cast<TMMLevel*>(&right), static_cast<TMMLevel*>(&left)}) {
            level->SetDisplaySize(88, 4);
            level->SetSamples(250);
            level->SetDecayMode(dmStepUp);
            level->SetDecay(7);
        }
        right.SetChannel(chRight);
        left.SetChannel(chLeft);
        spectrum.SetDisplaySize(64, 23);
        spectrum.SetFFTLength(64);
        spectrum.SetWindow(fwRectangular);
        spectrum.SetGain(sg3db);
        spectrum.SetVerticalScale(20);
        spectrum.SetFrequencyScale(2);
        spectrum.SetDecayMode(dmStepUp);
        spectrum.SetDecay(7);
    }
};

// The pump wakes at the screen's pace and feeds every slice due since its last
// cycle at once: the analysers compute exactly what feeding the same slices one
// by one gives (every decay step), with far fewer passes than slices, whatever
// the pace.
TEST_F(ConnectorTest, ScreenPacedFeedingComputesWhatSliceBySliceFeedingDoes)
{
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    constexpr int kBuffer = 8160, kBuffers = 24;
    // Tones and noise whose loudness changes from buffer to buffer.
    std::vector<std::vector<char>> buffers(kBuffers, std::vector<char>(kBuffer));
    std::uint32_t noise = 12345;
    for (int b = 0; b < kBuffers; ++b) {
        const double gain = (b % 6) / 5.0;
        for (int i = 0; i < kBuffer / 4; ++i) {
            noise = noise * 1664525u + 1013904223u;
            const double t = (b * kBuffer / 4 + i) / 44100.0;
            const auto l = std::int16_t(gain * (20000 * std::sin(2 * M_PI * 440 * t)) +
                                        int(noise >> 20) - 2048);
            const auto r = std::int16_t(gain * 30000 * std::sin(2 * M_PI * (1000 + 200 * b) * t));
            std::memcpy(&buffers[b][i * 4], &l, 2);
            std::memcpy(&buffers[b][i * 4 + 2], &r, 2);
        }
    }

    BandAnalysers expected;
    expected.right.SetDisplayFormat(&format);
    expected.left.SetDisplayFormat(&format);
    expected.spectrum.SetDisplayFormat(&format);
    for (const auto& buffer : buffers) {
        for (int at = 0; at + 1000 <= kBuffer; at += 1000) {
            expected.right.ProcessData(buffer.data() + at);
            expected.left.ProcessData(buffer.data() + at);
        }
        for (int at = 0; at + 256 <= kBuffer; at += 256)
            expected.spectrum.ProcessData(buffer.data() + at);
    }
    auto first_difference = [](const auto& a, const auto& b) {
        std::size_t i = 0;
        while (i < a.size() && i < b.size() && a[i] == b[i])
            ++i;
        return i == a.size() && i == b.size() ? -1 : int(i);
    };

    // At the screen's pace and at a pace six times slower, the same values.
    for (const std::int64_t pace_us : {TMMConnector::kFrameUs, std::int64_t(100000)}) {
        SCOPED_TRACE(pace_us);
        TMMConnector::SetFramePaceUs(pace_us);
        BandAnalysers fed;
        TMMConnector connector;
        connector.SetLevel1(&fed.right);
        connector.SetLevel2(&fed.left);
        connector.SetSpectrum1(&fed.spectrum);
        int passes = 0;
        connector.OnTrigger = [&](QObject*) { ++passes; };
        StartAlone(connector, format, kBuffer);
        // The audio thread hands over one buffer as the one before it has played.
        std::atomic<bool> done{false};
        std::thread audio([&] {
            const auto buffer_time = std::chrono::microseconds(std::int64_t(kBuffer) * 1000000 / 176400);
            auto at = std::chrono::steady_clock::now();
            for (auto& buffer : buffers) {
                connector.DataIn(buffer.data(), kBuffer);
                at += buffer_time;
                std::this_thread::sleep_until(at);
            }
            done = true;
        });
        const bool played = run_until([&] { return done.load(); }, 10000);
        audio.join();
        run_until([&] { return fed.spectrum.trace.size() >= std::size_t(kBuffers * (kBuffer / 256)); }, 2000);
        connector.Stopped();
        TMMConnector::SetFramePaceUs(TMMConnector::kFrameUs);
        ASSERT_TRUE(played);

        EXPECT_EQ(first_difference(fed.right.trace, expected.right.trace), -1) << fed.right.trace.size();
        EXPECT_EQ(first_difference(fed.left.trace, expected.left.trace), -1) << fed.left.trace.size();
        EXPECT_EQ(first_difference(fed.spectrum.trace, expected.spectrum.trace), -1)
            << fed.spectrum.trace.size() << " slices of " << expected.spectrum.trace.size();
        EXPECT_LT(passes, int(expected.spectrum.trace.size()) / 4) << "feeding passes";
    }
}

// Nothing is copied or posted for displays nobody sees; showing one again
// feeds it from the next buffer.
TEST_F(ConnectorTest, NoDisplayThatWantsDataMeansNoWakeUps)
{
    TMMConnector connector;
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    StartAlone(connector, format, 2048);
    test::pump_for(40);
    int passes = 0;
    connector.OnTrigger = [&](QObject*) { ++passes; };
    std::vector<char> data(2048, 9);
    connector.DataIn(data.data(), 2048); // nothing attached
    test::pump_for(40);
    EXPECT_EQ(passes, 0);

    TMMLevel level;
    TMMSpectrum spectrum;
    level.SetVisible(false);
    spectrum.SetEnabled(false);
    connector.SetLevel1(&level);
    connector.SetSpectrum1(&spectrum);
    connector.DataIn(data.data(), 2048); // hidden and switched off
    test::pump_for(40);
    EXPECT_EQ(passes, 0);
    EXPECT_EQ(connector.RefreshCount(TMMConnector::gLevels), 0);

    level.SetVisible(true);
    connector.DataIn(data.data(), 2048);
    ASSERT_TRUE(run_until([&] { return connector.RefreshCount(TMMConnector::gLevels) > 0; }, 2000));
    EXPECT_GT(passes, 0);
    EXPECT_EQ(connector.RefreshCount(TMMConnector::gSpectra), 0);
    connector.Stopped();
}

} // namespace
} // namespace pelu
