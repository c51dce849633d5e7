#include "audio/level.h"
#include "platform/timer.h"
#include "wait_until.h"
#include "expect_raises.h"
#include "property_rows.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace pelu {
namespace {

// The form's right-channel meter.
void configure_player_meter(TMMLevel& meter)
{
    meter.SetDesignMode(true); // peaks fall only when a test ticks
    meter.SetDisplaySize(88, 4);
    meter.SetChannel(chRight);
    meter.SetSamples(250);
    meter.SetPeakSpeed(1);
    meter.SetDecayMode(dmStepUp);
    meter.SetDecay(7);
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    meter.SetDisplayFormat(&format);
}

std::vector<std::int16_t> constant_stereo(int frames, std::int16_t left, std::int16_t right)
{
    std::vector<std::int16_t> pcm(std::size_t(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        pcm[2 * i] = left;
        pcm[2 * i + 1] = right;
    }
    return pcm;
}

const char* bytes(const std::vector<std::int16_t>& pcm)
{
    return reinterpret_cast<const char*>(pcm.data());
}

TEST(LevelMeter, PlayerGeometryAndDataSize)
{
    TMMLevel meter;
    configure_player_meter(meter);
    EXPECT_EQ(meter.SpotCount(), 44);
    EXPECT_EQ(meter.Zone1(), 22);
    EXPECT_EQ(meter.Zone2(), 37);
    EXPECT_EQ(meter.SpotOffset(), 0);
    EXPECT_EQ(meter.DataSize(), 1000);
    meter.SetSpotWidth(2);
    EXPECT_EQ(meter.SpotCount(), 29); // (88 + 1) div 3
    EXPECT_EQ(meter.SpotOffset(), 1);
    meter.SetSpotWidth(100); // at most a third of the length
    EXPECT_EQ(meter.SpotWidth(), 29);
    meter.SetKind(lkVertical); // a flat control turns upright
    EXPECT_EQ(meter.DisplayWidth(), 4);
    EXPECT_EQ(meter.DisplayHeight(), 88);
}

TEST(LevelMeter, FullScaleLightsEverySpotAndReportsOverflow)
{
    TMMLevel meter;
    configure_player_meter(meter);
    int overflows = 0, changes = 0;
    meter.OnPcmOverflow = [&](QObject* sender) {
        EXPECT_EQ(sender, &meter);
        ++overflows;
    };
    QObject::connect(&meter, &TMMLevel::Changed, [&] { ++changes; });
    const auto loud = constant_stereo(250, 0, 32767);
    meter.ProcessData(bytes(loud));
    EXPECT_EQ(meter.LitSpots(), 44);
    EXPECT_EQ(meter.PeakSpot(), 44);
    EXPECT_EQ(overflows, 1);
    EXPECT_EQ(changes, 1);
    // The other channel is not looked at.
    TMMLevel left;
    configure_player_meter(left);
    left.SetChannel(chLeft);
    left.ProcessData(bytes(loud));
    EXPECT_EQ(left.LitSpots(), 0);
    const auto negative = constant_stereo(250, -32768, 0);
    left.OnPcmOverflow = [&](QObject*) { ++overflows; };
    left.ProcessData(bytes(negative));
    EXPECT_EQ(left.LitSpots(), 44);
    EXPECT_EQ(overflows, 2);
}

TEST(LevelMeter, TheQuietestSampleLightsNothing)
{
    TMMLevel meter;
    configure_player_meter(meter);
    meter.SetDecayMode(dmNone);
    int changes = 0;
    QObject::connect(&meter, &TMMLevel::Changed, [&] { ++changes; });
    const auto whisper = constant_stereo(250, 0, 1); // -90.3 dB
    meter.ProcessData(bytes(whisper));
    EXPECT_EQ(meter.LitSpots(), 0);
    EXPECT_EQ(changes, 0);
    // -35 dB is the bottom of the scale, -17.5 dB the middle.
    const auto middle = constant_stereo(250, 0, std::int16_t(std::lround(32767 * std::pow(10.0, -17.5 / 20))));
    meter.ProcessData(bytes(middle));
    EXPECT_EQ(meter.LitSpots(), 22);
}

TEST(LevelMeter, StepUpDecayFallsByTheFactorPerRefresh)
{
    TMMLevel meter;
    meter.SetDisplaySize(20000, 4); // a long linear meter makes the fall visible
    meter.SetSpotSpace(0);
    meter.SetLogAmp(false);
    meter.SetSensitivy(-90);
    meter.SetDecayMode(dmStepUp);
    meter.SetDecay(7);
    meter.SetSamples(100);
    const WaveFormat format = make_pcm_format(44100, 16, 1);
    meter.SetDisplayFormat(&format);
    EXPECT_NEAR(meter.DecayFactor(), 0.93057, 0.00001);
    std::vector<std::int16_t> loud(100, 32767), silence(100, 0);
    meter.ProcessData(bytes(loud));
    int previous = meter.LitSpots();
    EXPECT_EQ(previous, 20000);
    for (int refresh = 0; refresh < 20; ++refresh) {
        meter.ProcessData(bytes(silence));
        const int now = meter.LitSpots();
        EXPECT_NEAR(double(now) / previous, 0.93057, 0.0006) << refresh;
        previous = now;
    }
    // A louder value takes over at once.
    meter.ProcessData(bytes(loud));
    EXPECT_EQ(meter.LitSpots(), 20000);
}

TEST(LevelMeter, PeakHoldsThenFallsOneSpotPerTick)
{
    TMMLevel meter;
    configure_player_meter(meter);
    meter.SetDecayMode(dmNone);
    int changes = 0;
    QObject::connect(&meter, &TMMLevel::Changed, [&] { ++changes; });
    const auto loud = constant_stereo(250, 0, 32767);
    const auto silence = constant_stereo(250, 0, 0);
    meter.ProcessData(bytes(loud));
    meter.ProcessData(bytes(silence));
    EXPECT_EQ(meter.LitSpots(), 0);
    EXPECT_EQ(changes, 2);
    for (int tick = 0; tick < 40; ++tick)
        meter.PeakTick();
    EXPECT_EQ(meter.PeakSpot(), 44); // held 1025 ms
    meter.PeakTick();
    EXPECT_EQ(meter.PeakSpot(), 43);
    meter.PeakTick();
    EXPECT_EQ(meter.PeakSpot(), 42);
    // Silence with a pending peak change still redraws.
    meter.ProcessData(bytes(silence));
    EXPECT_EQ(changes, 3);
    meter.ProcessData(bytes(silence)); // nothing pending: no redraw
    EXPECT_EQ(changes, 3);
    meter.ResetDisplay();
    EXPECT_EQ(meter.PeakSpot(), 0);
    EXPECT_EQ(meter.LitSpots(), 0);
}

TEST(LevelMeter, TimerServiceDrivesThePeakFall)
{
    TMMLevel meter;
    configure_player_meter(meter);
    meter.SetDesignMode(false);
    meter.SetPeakDelay(0); // one tick of hold, then gone
    meter.SetPeakSpeed(0);
    const auto loud = constant_stereo(250, 0, 32767);
    meter.ProcessData(bytes(loud));
    ASSERT_EQ(meter.PeakSpot(), 44);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (meter.PeakSpot() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(meter.PeakSpot(), 0);
}

// Once its peak has fallen the meter's timer entry goes idle, so a band left
// silent costs no timer ticks; the next peak brings the fall back, twice over.
TEST(LevelMeter, ThePeakTimerSleepsOnceThePeakHasFallen)
{
    platform::TimerService& service = platform::TimerService::instance();
    TMMLevel meter;
    configure_player_meter(meter);
    meter.SetDesignMode(false);
    meter.SetPeakDelay(0);
    meter.SetPeakSpeed(0);
    ASSERT_TRUE(test::wait_until([&] { return !service.timer_ticking(); }, 3000, test::Events::none)) << "no peak yet, still ticking";
    const auto loud = constant_stereo(250, 0, 32767);
    for (int round = 0; round < 2; ++round) {
        meter.ProcessData(bytes(loud));
        ASSERT_EQ(meter.PeakSpot(), 44);
        EXPECT_TRUE(service.timer_ticking()) << "round " << round;
        ASSERT_TRUE(test::wait_until([&] { return meter.PeakSpot() == 0; }, 3000, test::Events::none)) << "round " << round;
        EXPECT_TRUE(test::wait_until([&] { return !service.timer_ticking(); }, 3000, test::Events::none)) << "round " << round;
    }
}

TEST(LevelMeter, PropertyClampsAndRefusals)
{
    TMMLevel meter;
    // In order, on one meter: a gain outside -8..32 is refused, the rest clamp.
    test::expect_property_rows(meter, {{"Gain", 40, 0},          {"Gain", -8, -8},     {"Samples", 0, 1},
                                       {"Sensitivy", -200, -90}, {"Sensitivy", 0, -9}, {"NumPeaks", 9, 5},
                                       {"PeakDelay", 99, 50},    {"Decay", 0, 1},      {"Point1", 0, 1}});

    const WaveFormat good = make_pcm_format(8000, 8, 1);
    meter.SetDisplayFormat(&good);
    const int size = meter.DataSize();
    for (const WaveFormat& bad : {make_pcm_format(44100, 24, 2), make_pcm_format(44100, 16, 3),
                                  make_pcm_format(200000, 16, 2)}) {
        EXPECT_RAISES(meter.SetDisplayFormat(&bad), EMMLevelError, "Invalid WaveFormat");
        EXPECT_EQ(meter.DataSize(), size);
    }
}

TEST(LevelMeter, EightBitOffsetsAndChannels)
{
    TMMLevel meter;
    meter.SetDisplaySize(88, 4);
    meter.SetSamples(4);
    const WaveFormat mono8 = make_pcm_format(8000, 8, 1);
    meter.SetDisplayFormat(&mono8);
    int overflows = 0;
    meter.OnPcmOverflow = [&](QObject*) { ++overflows; };
    const std::uint8_t top[4] = {255, 255, 128, 128}; // 127 * 256: not full scale
    meter.ProcessData(reinterpret_cast<const char*>(top));
    EXPECT_EQ(meter.RawLevel(), 32512);
    EXPECT_EQ(overflows, 0);
    const std::uint8_t bottom[4] = {0, 128, 128, 128};
    meter.ProcessData(reinterpret_cast<const char*>(bottom));
    EXPECT_EQ(meter.RawLevel(), 32768);
    EXPECT_EQ(overflows, 1);

    // A DC offset is removed before the level is taken; chBoth averages.
    const WaveFormat stereo16 = make_pcm_format(8000, 16, 2);
    meter.SetDisplayFormat(&stereo16);
    meter.SetDCOffsetL(1000);
    const auto offset = constant_stereo(4, 1000, -3000);
    meter.SetChannel(chLeft);
    meter.ProcessData(bytes(offset));
    EXPECT_EQ(meter.RawLevel(), 0);
    meter.SetChannel(chBoth);
    meter.ProcessData(bytes(offset));
    EXPECT_EQ(meter.RawLevel(), 1500);

    meter.SetEnabled(false);
    const auto loud = constant_stereo(4, 32767, 32767);
    meter.ProcessData(bytes(loud));
    EXPECT_EQ(meter.LitSpots(), 0);
    EXPECT_EQ(meter.RawLevel(), 0);
}

} // namespace
} // namespace pelu
