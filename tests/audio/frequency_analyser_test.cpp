#include "audio/frequency_analyser.h"
#include "platform/timer.h"
#include "wait_until.h"
#include "expect_raises.h"
#include "property_rows.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace pelu {
namespace {

// The form's analyser, fed 16-bit stereo at `rate`.
void configure_player_spectrum(TMMSpectrum& s, int rate = 44100)
{
    s.SetDesignMode(true); // peaks fall only when a test ticks
    s.SetDisplaySize(64, 23);
    s.SetFFTLength(64);
    s.SetWindow(fwRectangular);
    s.SetGain(sg3db);
    s.SetVerticalScale(20);
    s.SetFrequencyScale(2);
    s.SetDecayMode(dmStepUp);
    s.SetDecay(7);
    s.SetPeakDelay(7);
    s.SetPeakSpeed(5);
    s.SetPoint2(75);
    const WaveFormat format = make_pcm_format(rate, 16, 2);
    s.SetDisplayFormat(&format);
}

std::vector<std::int16_t> stereo_tone(int frames, double hz, double amplitude, int rate)
{
    std::vector<std::int16_t> pcm(std::size_t(frames) * 2);
    for (int i = 0; i < frames; ++i)
        pcm[2 * i] = pcm[2 * i + 1] = std::int16_t(std::lround(amplitude * std::sin(2 * M_PI * hz * i / rate)));
    return pcm;
}

const char* bytes(const std::vector<std::int16_t>& pcm)
{
    return reinterpret_cast<const char*>(pcm.data());
}

TEST(Spectrum, PlayerLayoutHasSixteenBarsOfFourColumns)
{
    TMMSpectrum s;
    configure_player_spectrum(s);
    EXPECT_EQ(s.DataSize(), 256);
    const auto bars = s.Bars();
    ASSERT_EQ(bars.size(), 16u);
    for (int b = 0; b < 16; ++b) {
        EXPECT_EQ(bars[b].first_column, 4 * b);
        EXPECT_EQ(bars[b].end_column, 4 * b + 4);
        EXPECT_EQ(bars[b].first_bin, b);
        EXPECT_EQ(bars[b].end_bin, 0); // one bin each
    }
    EXPECT_EQ(s.SpotCount(), 12);
    EXPECT_EQ(s.Zone1(), 6);
    EXPECT_EQ(s.Zone2(), 9);
}

TEST(Spectrum, ATonesBinLightsItsBar)
{
    TMMSpectrum s;
    configure_player_spectrum(s);
    s.SetDecayMode(dmNone);
    int changes = 0;
    QObject::connect(&s, &TMMSpectrum::Changed, [&] { ++changes; });
    const double bin_hz = 44100.0 / 64;
    const auto tone = stereo_tone(64, 5 * bin_hz, 6000, 44100);
    s.ProcessData(bytes(tone));
    EXPECT_EQ(changes, 1);
    const auto bars = s.Bars();
    for (int b = 0; b < 16; ++b) {
        if (b == 5) {
            EXPECT_GT(bars[b].lit_spots, 6) << b;
            EXPECT_EQ(bars[b].peak_spot, bars[b].lit_spots);
        } else {
            EXPECT_EQ(bars[b].lit_spots, 0) << b;
        }
    }
    EXPECT_EQ(s.MaxBin(), 5);
    EXPECT_EQ(s.MaxColumn(), 20);
    // Bin value: 16 times the amplitude of an exact-bin tone (rectangular window).
    EXPECT_NEAR(s.BinValues()[5], 16 * 6000, 16 * 3);
}

TEST(Spectrum, ThreeDbPerOctaveIsNeutralAtTheReferenceFrequency)
{
    // 32 kHz and 64 points: bin b ends at (b + 1) * 500 Hz, so bin 1 ends at 1000 Hz.
    auto bar_value = [](TMMSpectrumGain gain, int bin) {
        TMMSpectrum s;
        s.SetDesignMode(true);
        s.SetDisplaySize(32, 1000);
        s.SetFFTLength(64);
        s.SetWindow(fwRectangular);
        s.SetGain(gain);
        const WaveFormat format = make_pcm_format(32000, 16, 1);
        s.SetDisplayFormat(&format);
        std::vector<std::int16_t> tone(64);
        for (int i = 0; i < 64; ++i)
            tone[i] = std::int16_t(std::lround(8000 * std::sin(2 * M_PI * bin * 500.0 * i / 32000)));
        s.ProcessData(reinterpret_cast<const char*>(tone.data()));
        return double(s.Bars()[bin].value);
    };
    const double flat_ref = bar_value(sgNone, 1), weighted_ref = bar_value(sg3db, 1);
    const double flat_octave = bar_value(sgNone, 3), weighted_octave = bar_value(sg3db, 3);
    ASSERT_GT(flat_ref, 100.0);
    EXPECT_NEAR(weighted_ref / flat_ref, 1.0, 0.01);
    EXPECT_NEAR(20 * std::log10((weighted_octave / flat_octave) / (weighted_ref / flat_ref)), 3.0, 0.1);
}

TEST(Spectrum, LogAmplitudeSpansSixtyDecibelsOverTheHeight)
{
    auto value_for = [](double amplitude) {
        TMMSpectrum s;
        s.SetDesignMode(true);
        s.SetDisplaySize(32, 600);
        s.SetFFTLength(64);
        s.SetWindow(fwRectangular);
        s.SetLogAmp(true);
        const WaveFormat format = make_pcm_format(32000, 16, 1);
        s.SetDisplayFormat(&format);
        std::vector<std::int16_t> tone(64);
        for (int i = 0; i < 64; ++i)
            tone[i] = std::int16_t(std::lround(amplitude * std::sin(2 * M_PI * 4 * 500.0 * i / 32000)));
        s.ProcessData(reinterpret_cast<const char*>(tone.data()));
        return s.Bars()[4].value;
    };
    const int loud = value_for(16000), quieter = value_for(1600);
    EXPECT_NEAR(loud - quieter, 200, 4); // 20 dB of 60 over 600 pixels
    EXPECT_NEAR(loud, 600 - 600.0 / 60 * 20 * std::log10(32768.0 / 16000), 4);
}

TEST(Spectrum, StepUpDecayFallsByTheFactorAndPeaksHoldThenFall)
{
    TMMSpectrum s;
    configure_player_spectrum(s);
    const double bin_hz = 44100.0 / 64;
    const auto tone = stereo_tone(64, 3 * bin_hz, 20000, 44100);
    const std::vector<std::int16_t> silence(128, 0);
    s.ProcessData(bytes(tone));
    double previous = s.BinValues()[3];
    const int peak = s.Bars()[3].peak_spot;
    EXPECT_GT(peak, 0);
    for (int i = 0; i < 10; ++i) {
        s.ProcessData(bytes(silence));
        const double now = s.BinValues()[3];
        EXPECT_NEAR(now / previous, 0.93057, 0.0005) << i;
        previous = now;
    }
    // Peak: 2 * 7 + 1 = 15 ticks of hold, then a spot every 5 ticks.
    s.ProcessData(bytes(tone)); // restarts the hold
    for (int i = 0; i < 14; ++i)
        s.PeakTick();
    EXPECT_EQ(s.Bars()[3].peak_spot, peak);
    s.PeakTick();
    EXPECT_EQ(s.Bars()[3].peak_spot, peak - 1);
    for (int i = 0; i < 4; ++i)
        s.PeakTick();
    EXPECT_EQ(s.Bars()[3].peak_spot, peak - 1);
    s.PeakTick();
    EXPECT_EQ(s.Bars()[3].peak_spot, peak - 2);
    s.ResetDisplay();
    EXPECT_EQ(s.Bars()[3].peak_spot, 0);
    EXPECT_EQ(s.BinValues()[3], 0);
}

// Once every peak has fallen the analyser's timer entry goes idle, so a band
// left silent costs no timer ticks; the next peak brings the fall back.
TEST(Spectrum, ThePeakTimerSleepsOnceEveryPeakHasFallen)
{
    platform::TimerService& service = platform::TimerService::instance();
    TMMSpectrum s;
    configure_player_spectrum(s);
    s.SetPeakDelay(0);
    s.SetPeakSpeed(0);
    s.SetDesignMode(false);
    auto peaks = [&] {
        int sum = 0;
        for (const auto& bar : s.Bars())
            sum += bar.peak_spot;
        return sum;
    };
    ASSERT_TRUE(test::wait_until([&] { return !service.timer_ticking(); }, 3000, test::Events::none)) << "no peak yet, still ticking";
    const auto tone = stereo_tone(64, 3 * 44100.0 / 64, 20000, 44100);
    for (int round = 0; round < 2; ++round) {
        s.ProcessData(bytes(tone));
        ASSERT_GT(peaks(), 0);
        EXPECT_TRUE(service.timer_ticking()) << "round " << round;
        ASSERT_TRUE(test::wait_until([&] { return peaks() == 0; }, 3000, test::Events::none)) << "round " << round;
        EXPECT_TRUE(test::wait_until([&] { return !service.timer_ticking(); }, 3000, test::Events::none)) << "round " << round;
    }
}

TEST(Spectrum, OverflowThresholdsAndEightBitAveraging)
{
    TMMSpectrum s;
    s.SetDesignMode(true);
    s.SetFFTLength(64);
    s.SetWindow(fwRectangular);
    int overflows = 0;
    s.OnPcmOverflow = [&](QObject*) { ++overflows; };
    const WaveFormat mono16 = make_pcm_format(44100, 16, 1);
    s.SetDisplayFormat(&mono16);
    std::vector<std::int16_t> pcm(64, 32766);
    s.ProcessData(bytes(pcm));
    EXPECT_EQ(overflows, 0);
    pcm[10] = 32767;
    s.ProcessData(bytes(pcm));
    EXPECT_EQ(overflows, 1);
    std::vector<std::int16_t> low(64, -32768); // only positive excursions count
    s.ProcessData(bytes(low));
    EXPECT_EQ(overflows, 1);
    // A full-scale offset saturates bin 0 instead of wrapping.
    EXPECT_EQ(s.BinValues()[0], 16 * 32768);

    const WaveFormat stereo16 = make_pcm_format(44100, 16, 2);
    s.SetDisplayFormat(&stereo16);
    std::vector<std::int16_t> both(128, 32766); // (L + R) div 2 = 32766 > 32765
    s.ProcessData(bytes(both));
    EXPECT_EQ(overflows, 2);

    // 8-bit stereo chBoth: the bytes are averaged before the 128 offset goes.
    const WaveFormat stereo8 = make_pcm_format(44100, 8, 2);
    s.SetDisplayFormat(&stereo8);
    std::vector<std::uint8_t> frames(128);
    for (int i = 0; i < 64; ++i) {
        frames[2 * i] = 100;
        frames[2 * i + 1] = 101;
    }
    s.ProcessData(reinterpret_cast<const char*>(frames.data()));
    // (100 + 101) shr 1 = 100 -> -28 -> trunc(-28 * 32767 / 128) = -7167, bin 0 = 2 * -7167.
    EXPECT_EQ(s.BinValues()[0], 16 * 14334);
    s.SetChannel(chRight); // 101 -> -27 -> -6911
    s.ProcessData(reinterpret_cast<const char*>(frames.data()));
    EXPECT_EQ(s.BinValues()[0], 16 * 13822);
    std::vector<std::uint8_t> top(128, 255);
    s.ProcessData(reinterpret_cast<const char*>(top.data()));
    EXPECT_EQ(overflows, 3);
}

TEST(Spectrum, ClampsFormatsAndLogFrequencyMapping)
{
    TMMSpectrum s;
    s.SetDesignMode(true);
    test::expect_property_rows(s, {{"FFTLength", 3000, 2048}, {"FFTLength", 2, 8}, {"FrequencyScale", 3, 2},
                                   {"VerticalScale", 0, 1}, {"SpotSpace", 11, 10}, {"PeakSpeed", -1, 0}});
    const WaveFormat slow = make_pcm_format(4000, 16, 1);
    s.SetDisplayFormat(&slow);
    EXPECT_EQ(s.SampleRate(), 8000);
    const WaveFormat bad = make_pcm_format(44100, 16, 4);
    EXPECT_RAISES(s.SetDisplayFormat(&bad), EMMSpectrumError, "Invalid WaveFormat");
    EXPECT_EQ(s.SampleRate(), 8000);
    EXPECT_EQ(s.Mode(), mMono);

    s.SetFFTLength(4096);
    s.SetFrequencyScale(1);
    s.SetDisplaySize(200, 50);
    s.SetLogFreq(true);
    const auto bars = s.Bars();
    ASSERT_GT(bars.size(), 20u);
    for (std::size_t i = 1; i < bars.size(); ++i) {
        EXPECT_GT(bars[i].first_bin, bars[i - 1].first_bin);
        EXPECT_EQ(bars[i].first_column, bars[i - 1].end_column);
    }
    EXPECT_EQ(bars.front().first_bin, 0);
    EXPECT_EQ(bars.back().end_column, 200);
    EXPECT_LE(bars.back().first_bin, 2047);
    std::vector<std::int16_t> noise(4096);
    for (int i = 0; i < 4096; ++i)
        noise[i] = std::int16_t((i * 7919) % 20000 - 10000);
    int gain_overflows = 0;
    s.OnGainOverflow = [&](QObject*) { ++gain_overflows; };
    s.ProcessData(bytes(noise));
    EXPECT_EQ(gain_overflows, 1); // full scale at VerticalScale 100 reaches the top
}

TEST(Spectrum, DisabledOrFrozenIgnoresData)
{
    TMMSpectrum s;
    configure_player_spectrum(s);
    const auto tone = stereo_tone(64, 4 * 44100.0 / 64, 20000, 44100);
    s.SetFrozen(true);
    s.ProcessData(bytes(tone));
    EXPECT_EQ(s.Bars()[4].value, 0);
    s.SetFrozen(false);
    s.ProcessData(bytes(tone));
    EXPECT_GT(s.Bars()[4].value, 0);
    s.SetEnabled(false);
    EXPECT_EQ(s.Bars()[4].value, 0);
    s.ProcessData(bytes(tone));
    EXPECT_EQ(s.Bars()[4].value, 0);
}

} // namespace
} // namespace pelu
