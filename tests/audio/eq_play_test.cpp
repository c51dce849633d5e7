// The equalizer in a playing chain: a band change made on the main thread is
// heard within the wave output's queue of buffers.
#include "audio/connector.h"
#include "audio/equalizer.h"
#include "audio/level.h"
#include "audio/frequency_analyser.h"
#include "audio/wave_out.h"
#include "platform/wave/wave_device.h"

#include "pcm_test_source.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <mutex>

namespace pelu {
namespace {

using platform::wave::SimRecorder;

// An endless 1 kHz tone, stereo 16-bit.
class ToneSource : public TMMDSPComponent {
public:
    explicit ToneSource(double amplitude = 8000) : amplitude_(amplitude)
    {
        accepts_output_ = true;
        const WaveFormat format = make_pcm_format(44100, 16, 2);
        SetPWaveFormat(&format);
    }
    void BufferLoad(ExtendedWaveHeader* h, bool& more) override
    {
        const std::uint32_t frames = h->buffer_length / 4;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const auto v = std::int16_t(std::lround(amplitude_ * std::sin(2 * M_PI * 1000.0 * double(frame_++) / 44100)));
            std::memcpy(h->data + 4 * i, &v, 2);
            std::memcpy(h->data + 4 * i + 2, &v, 2);
        }
        h->bytes_recorded = frames * 4;
        more = true;
    }

private:
    const double amplitude_;
    std::int64_t frame_ = 0; // only the loading thread touches it
};

double rms_of(const char* data, std::size_t bytes)
{
    double sum = 0;
    const std::size_t samples = bytes / 2;
    for (std::size_t i = 0; i < samples; ++i) {
        std::int16_t s;
        std::memcpy(&s, data + 2 * i, 2);
        sum += double(s) * s;
    }
    return samples ? std::sqrt(sum / samples) : 0.0;
}

TEST(EqualizerPlaying, BandChangeIsHeardWithinTheOutputQueue)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:4"));
    SimRecorder::clear();
    SimRecorder::set_enabled(true);
    {
        ToneSource source;
        TMMEqualizer eq;
        TMMWaveOut out;
        eq.SetInput(&source);
        TMMEQFilter* band = eq.Filters().AddBand(700, 1400, 0);
        out.SetCallBackMode(TMMWaveOut::cmThread);
        out.SetBufferSize(8160);
        out.SetInput(&eq);
        const int queue = out.NumBuffers();
        out.Start();
        ASSERT_TRUE(test::run_until([] { return SimRecorder::played_buffers() >= 20; }));
        band->SetGain(-24.0f); // main thread, while the buffer thread filters
        const std::uint64_t played_at_change = SimRecorder::played_buffers();
        ASSERT_TRUE(test::run_until(
            [&] { return SimRecorder::played_buffers() >= played_at_change + std::uint64_t(queue) + 6; }));
        out.Stop();
        out.Close();

        const std::vector<char> played = SimRecorder::played_bytes();
        const std::size_t buffers = played.size() / 8160;
        ASSERT_GE(buffers, played_at_change + queue + 6);
        const double loud = rms_of(played.data() + 10 * 8160, 8160);
        ASSERT_GT(loud, 4000.0);
        std::size_t first_quiet = buffers;
        for (std::size_t b = 0; b < buffers; ++b)
            if (rms_of(played.data() + b * 8160, 8160) < loud / 4) {
                if (b > 0) { // the start-up silence of the first buffer does not count
                    first_quiet = b;
                    break;
                }
            }
        ASSERT_LT(first_quiet, buffers) << "the cut was never heard";
        // Buffers queued before the change still play as they were; the next one
        // filled carries the cut (plus one for a block straddling the change).
        EXPECT_LE(first_quiet, played_at_change + std::size_t(queue) + 1);
        // ...and nothing played well before the change was cut.
        EXPECT_GE(first_quiet + 2, played_at_change);
        // And it stays.
        for (std::size_t b = first_quiet + 1; b < buffers; ++b)
            EXPECT_LT(rms_of(played.data() + b * 8160, 8160), loud / 4) << b;
    }
    SimRecorder::set_enabled(false);
    SimRecorder::clear();
    platform::wave::select_wave_system("sim:0");
}

TEST(EqualizerPlaying, TheFormsChainFeedsMetersAndSpectrumThroughTheConnector)
{
    ASSERT_TRUE(platform::wave::select_wave_system("sim:1"));
    {
        ToneSource source(20000); // -4.3 dB
        TMMEqualizer eq;
        TMMWaveOut out;
        TMMConnector connector;
        TMMLevel right, left;
        TMMSpectrum spectrum;
        for (TMMLevel* meter : {&right, &left}) {
            meter->SetDisplaySize(88, 4);
            meter->SetSamples(250);
            meter->SetPeakSpeed(1);
            meter->SetDecayMode(dmStepUp);
            meter->SetDecay(7);
        }
        right.SetChannel(chRight);
        left.SetChannel(chLeft);
        spectrum.SetDisplaySize(64, 23);
        spectrum.SetFFTLength(64);
        spectrum.SetWindow(fwRectangular);
        spectrum.SetGain(sg3db);
        spectrum.SetVerticalScale(20);
        spectrum.SetFrequencyScale(2);
        eq.SetInput(&source);
        out.SetCallBackMode(TMMWaveOut::cmThread);
        out.SetBufferSize(8160);
        out.SetInput(&eq);
        out.SetOutput(&connector);
        connector.SetLevel1(&right);
        connector.SetLevel2(&left);
        connector.SetSpectrum1(&spectrum);
        out.Start();
        EXPECT_TRUE(test::run_until([&] { return right.LitSpots() > 0 && left.LitSpots() > 0; }, 5000));
        test::pump_for(300);
        // (-4.3 + 35) * 44 / 35, less a little for the flat response's -0.02 dB
        EXPECT_NEAR(right.LitSpots(), 39, 1);
        EXPECT_NEAR(left.LitSpots(), 39, 1);
        EXPECT_EQ(right.DataSize(), 1000);
        EXPECT_EQ(spectrum.DataSize(), 256);
        const int bin = spectrum.MaxBin(); // 1 kHz lies between bins 1 and 2 (689 Hz wide)
        EXPECT_TRUE(bin == 1 || bin == 2) << bin;
        EXPECT_GT(spectrum.Bars()[bin].lit_spots, 0);
        out.Stop();
        test::pump_for(50);
        EXPECT_EQ(right.LitSpots(), 0); // cleared on stop
        EXPECT_EQ(spectrum.Bars()[bin].lit_spots, 0);
        out.Close();
    }
    platform::wave::select_wave_system("sim:0");
}

} // namespace
} // namespace pelu
