#include "audio/equalizer.h"
#include "platform/mainthread.h"
#include "expect_raises.h"
#include "property_rows.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace pelu {
namespace {

constexpr double kFlatGain = 0.99763115748444; // 10^0.3 / 2

// A head of chain that plays back a prepared interleaved 16-bit stream.
class PcmSource : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(pelu::TMMDSPComponent* Output READ Output WRITE SetOutput)
public:
    std::vector<std::int16_t> pcm;
    std::size_t position = 0; // in samples
    void BufferLoad(ExtendedWaveHeader* h, bool& more) override
    {
        const std::size_t want = h->buffer_length / 2;
        const std::size_t n = std::min(want, pcm.size() - position);
        std::memcpy(h->data, pcm.data() + position, n * 2);
        position += n;
        h->bytes_recorded = std::uint32_t(n * 2);
        more = position < pcm.size();
    }
};

std::vector<std::int16_t> noise(std::size_t samples, int amplitude, unsigned seed = 7)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-amplitude, amplitude);
    std::vector<std::int16_t> out(samples);
    for (auto& s : out)
        s = std::int16_t(dist(rng));
    return out;
}

// Stereo, two sines per channel.
std::vector<std::int16_t> two_tones(int frames, double f_a, double f_b, double amplitude, int rate = 44100)
{
    std::vector<std::int16_t> out(std::size_t(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const double v = amplitude * (std::sin(2 * M_PI * f_a * t) + std::sin(2 * M_PI * f_b * t));
        out[2 * i] = out[2 * i + 1] = std::int16_t(std::lround(v));
    }
    return out;
}

// Amplitude of the component at `hz` in one channel, by projection.
double tone_amplitude(const std::vector<std::int16_t>& pcm, int channel, int first_frame, int frames, double hz,
                      int rate = 44100)
{
    double c = 0, s = 0;
    for (int i = first_frame; i < first_frame + frames; ++i) {
        const double t = double(i) / rate;
        c += pcm[2 * i + channel] * std::cos(2 * M_PI * hz * t);
        s += pcm[2 * i + channel] * std::sin(2 * M_PI * hz * t);
    }
    return 2.0 * std::hypot(c, s) / frames;
}

struct Rig {
    PcmSource source;
    TMMEqualizer eq;
    WaveFormat format;
    explicit Rig(int fft_length = 256, int rate = 44100, int channels = 2)
        : format(make_pcm_format(rate, 16, channels))
    {
        eq.SetFFTLength(fft_length);
        source.SetPWaveFormat(&format);
        eq.SetInput(&source);
        eq.SetBufferSize(8160);
        eq.Opened();
        eq.Started();
    }
    // Pulls the whole source through the equalizer in 8160-byte buffers.
    std::vector<std::int16_t> run(std::vector<std::int16_t> pcm, std::vector<int>* zero_bytes = nullptr)
    {
        source.pcm = std::move(pcm);
        source.position = 0;
        WaveBuffer buffer(8160);
        std::vector<std::int16_t> out;
        bool more = true;
        while (more) {
            buffer.prepare_for_load();
            more = false;
            eq.BufferLoad(buffer.header(), more);
            const auto* samples = reinterpret_cast<const std::int16_t*>(buffer.data());
            out.insert(out.end(), samples, samples + buffer.header()->bytes_recorded / 2);
        }
        return out;
    }
};

TEST(Equalizer, FlatResponseIsAQuarterLengthDelayScaledAndTruncated)
{
    for (int n : {256, 1024}) {
        Rig rig(n);
        const auto input = noise(2 * 44100, 20000, unsigned(n));
        const auto output = rig.run(input);
        ASSERT_EQ(output.size(), input.size());
        // Start-up silence: the first buffer holds only whole filtered blocks.
        const int frames_per_buffer = 8160 / 4;
        const int silent_frames = frames_per_buffer - (frames_per_buffer / n) * n;
        for (int i = 0; i < silent_frames * 2; ++i)
            ASSERT_EQ(output[i], 0) << "sample " << i;
        const int delay = silent_frames + n / 4; // frames
        int near_boundary = 0;
        for (std::size_t i = std::size_t(delay) * 2; i < output.size(); ++i) {
            const double exact = input[i - std::size_t(delay) * 2] * kFlatGain;
            const double frac = std::fabs(exact - std::trunc(exact));
            if (frac < 0.01 || frac > 0.99) { // float rounding may land either side
                ++near_boundary;
                ASSERT_NEAR(output[i], std::trunc(exact), 1.0) << "N " << n << " sample " << i;
            } else {
                ASSERT_EQ(output[i], std::int16_t(std::trunc(exact))) << "N " << n << " sample " << i;
            }
        }
        EXPECT_LT(near_boundary, int(output.size() / 20));
    }
}

TEST(Equalizer, FirstStereoBufferAtN256IsSilenceThenSevenBlocks)
{
    Rig rig(256);
    std::vector<std::int16_t> input(8160 / 2, 12345);
    rig.source.pcm = input;
    WaveBuffer buffer(8160);
    buffer.prepare_for_load();
    bool more = false;
    rig.eq.BufferLoad(buffer.header(), more);
    ASSERT_EQ(buffer.header()->bytes_recorded, 8160u);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer.data());
    for (int i = 0; i < 992; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    // The filtered part starts with the filter's own N/4 delay of silence, then the
    // scaled constant.
    const auto* samples = reinterpret_cast<const std::int16_t*>(buffer.data() + 992);
    const int filtered_samples = 7168 / 2;
    EXPECT_EQ(samples[0], 0);
    EXPECT_EQ(samples[filtered_samples - 1], std::int16_t(std::trunc(12345 * kFlatGain)));
    EXPECT_NE(samples[64 * 2 + 10], 0);
}

TEST(Equalizer, BoostAroundOneKilohertzLeavesLowToneAlone)
{
    Rig rig(1024);
    rig.eq.Filters().AddBand(600.0f, 1600.0f, 12.0f);
    const int frames = 44100 * 2;
    const auto input = two_tones(frames, 1000.0, 100.0, 3000.0);
    const auto output = rig.run(input);
    // Compare a steady stretch against the input shifted by the total delay.
    const int delay = (2040 - (2040 / 1024) * 1024) + 1024 / 4;
    const int start = 22050, length = 44100;
    for (int ch : {0, 1}) {
        const double in_1k = tone_amplitude(input, ch, start - delay, length, 1000.0);
        const double out_1k = tone_amplitude(output, ch, start, length, 1000.0);
        const double in_100 = tone_amplitude(input, ch, start - delay, length, 100.0);
        const double out_100 = tone_amplitude(output, ch, start, length, 100.0);
        EXPECT_NEAR(20 * std::log10(out_1k / in_1k), 12.0, 0.5);
        EXPECT_NEAR(20 * std::log10(out_100 / in_100), 0.0, 0.5);
    }
}

TEST(Equalizer, LeftChannelModeLeavesRightBitIdentical)
{
    Rig rig(256);
    rig.eq.SetChannel(chLeft);
    rig.eq.Filters().AddBand(0.0f, 22050.0f, -12.0f);
    const auto input = noise(44100 * 2, 15000, 3);
    const auto output = rig.run(input);
    ASSERT_EQ(output.size(), input.size());
    const int silent_samples = 992 / 2; // the start-up silence covers both channels
    for (std::size_t i = silent_samples + 1; i < output.size(); i += 2)
        ASSERT_EQ(output[i], input[i]) << "right sample " << i;
    // ... while the left one is filtered (quieter, delayed).
    double in_energy = 0, out_energy = 0;
    for (std::size_t i = 44100; i < output.size(); i += 2) {
        in_energy += double(input[i]) * input[i];
        out_energy += double(output[i]) * output[i];
    }
    EXPECT_LT(out_energy, in_energy * 0.1); // -12 dB is a sixteenth of the energy

    // chRight is the mirror.
    Rig right(256);
    right.eq.SetChannel(chRight);
    right.eq.Filters().AddBand(0.0f, 5000.0f, -12.0f);
    const auto out_right = right.run(input);
    for (std::size_t i = silent_samples; i < out_right.size(); i += 2)
        ASSERT_EQ(out_right[i], input[i]) << "left sample " << i;
}

TEST(Equalizer, DisabledPassesThroughUndelayedAndMonoWorks)
{
    Rig rig(256);
    rig.eq.SetEnabled(false);
    const auto input = noise(8160, 30000, 5);
    EXPECT_EQ(rig.run(input), input);

    Rig mono(256, 22050, 1);
    const auto mono_in = noise(22050, 20000, 9);
    const auto mono_out = mono.run(mono_in);
    const int frames_per_buffer = 8160 / 2;
    const int delay = frames_per_buffer - (frames_per_buffer / 256) * 256 + 64;
    for (std::size_t i = delay; i < mono_out.size(); i += 97)
        EXPECT_NEAR(mono_out[i], std::trunc(mono_in[i - delay] * kFlatGain), 1.0) << i;
}

TEST(Equalizer, ClippingIsSaturatedAndReportedOnTheMainThread)
{
    Rig rig(256);
    rig.eq.Filters().AddBand(0.0f, 22050.0f, 12.0f);
    std::atomic<int> calls{0};
    std::atomic<bool> on_main{true};
    rig.eq.OnPcmOverflow = [&](QObject* sender) {
        ++calls;
        if (!platform::is_main_thread() || sender != &rig.eq)
            on_main = false;
    };
    const auto input = noise(44100, 30000, 11);
    std::vector<std::int16_t> output;
    // From a worker thread, as the wave output runs it.
    std::thread worker([&] { output = rig.run(input); });
    worker.join();
    EXPECT_EQ(calls.load(), 0); // posted, not run inline
    platform::process_pending_events();
    EXPECT_GE(calls.load(), 1);
    EXPECT_TRUE(on_main.load());
    EXPECT_NE(std::find(output.begin(), output.end(), 32767), output.end());
    EXPECT_NE(std::find(output.begin(), output.end(), -32768), output.end());
}

TEST(Equalizer, PropertiesClampAndFormatsAreChecked)
{
    TMMEqualizer eq;
    EXPECT_EQ(eq.FFTLength(), 256);
    EXPECT_EQ(eq.Description(), "Untitled");
    EXPECT_EQ(eq.SampleRate(), 4000);
    test::expect_property_rows(eq, {{"FFTLength", 3000, 2048}, {"FFTLength", 5, 8}, {"FFTLength", 10000, 4096},
                                    {"SampleRate", 1, 4000}, {"SampleRate", 200000, 100000}});

    const WaveFormat good = make_pcm_format(48000, 16, 2);
    eq.SetPWaveFormat(&good);
    EXPECT_EQ(eq.SampleRate(), 48000);
    for (const WaveFormat& bad : {make_pcm_format(44100, 8, 2), make_pcm_format(44100, 16, 3),
                                  make_pcm_format(3000, 16, 2)}) {
        EXPECT_RAISES(eq.SetPWaveFormat(&bad), EMMEqualizerError, "Invalid WaveFormat");
        EXPECT_EQ(eq.GetPWaveFormat()->samples_per_sec, 48000u);
        EXPECT_EQ(eq.GetPWaveFormat()->bits_per_sample, 16);
    }
    // Above 1024 the engine still transforms 1024 points.
    eq.SetBufferSize(8160);
    eq.Opened();
    EXPECT_EQ(eq.EngineLength(), 1024);
    eq.SetFFTLength(512);
    EXPECT_EQ(eq.EngineLength(), 512);
    eq.Closed();
    EXPECT_EQ(eq.EngineLength(), 0);
}

TEST(FFTFilterEngine, BandEdgesMapToBins)
{
    const WaveFormat format = make_pcm_format(44100, 16, 2);
    auto engine = InitFFTFilter(&format, 256, 65536);
    ASSERT_TRUE(engine);
    const float flat = float(std::pow(10.0, 6.0 / 20.0));
    auto boosted = [&] {
        std::vector<int> bins;
        for (int k = 0; k <= 128; ++k)
            if (engine->magnitude[k] != flat)
                bins.push_back(k);
        return bins;
    };
    auto reset = [&] { SetFFTFilterBand(*engine, 0, 22050, 0); };
    SetFFTFilterBand(*engine, 0, 100, 6);
    EXPECT_EQ(boosted(), std::vector<int>{0});
    reset();
    SetFFTFilterBand(*engine, 1000, 1000, 6); // widened to 1000..1001 Hz
    EXPECT_EQ(boosted(), std::vector<int>{5});
    reset();
    SetFFTFilterBand(*engine, 1100, 400, 6); // swapped
    EXPECT_EQ(boosted(), (std::vector<int>{2, 3, 4, 5, 6}));
    reset();
    SetFFTFilterBand(*engine, 21000, 90000, 6); // cut at half the rate
    EXPECT_EQ(boosted().back(), 128);
    EXPECT_EQ(boosted().front(), 121);
    reset();
    SetFFTFilterBand(*engine, 30000, 40000, 6); // F1 becomes half the rate minus 1 Hz
    EXPECT_EQ(boosted(), (std::vector<int>{127, 128}));
    reset();
    SetFFTFilterBand(*engine, -5000, -1000, 6); // below 0 Hz: kept inside the table
    EXPECT_EQ(boosted(), std::vector<int>{0});
    reset();
    SetFFTFilterBand(*engine, -5000, 500, 6);
    EXPECT_EQ(boosted(), (std::vector<int>{0, 1, 2}));
}

TEST(Equalizer, DisabledBandReturnsItsRangeToZeroDb)
{
    Rig rig(256);
    TMMEQFilter* wide = rig.eq.Filters().AddBand(0, 5000, 10);
    TMMEQFilter* narrow = rig.eq.Filters().AddBand(1000, 2000, -5);
    int changes = 0;
    rig.eq.OnChange = [&](QObject*) { ++changes; };
    // The engine is private to the equalizer; its effect is measured on a tone.
    auto gain_at = [&](double hz) {
        rig.eq.Reset();
        std::vector<std::int16_t> tone(44100 * 2);
        for (int i = 0; i < 44100; ++i)
            tone[2 * i] = tone[2 * i + 1] = std::int16_t(2000 * std::sin(2 * M_PI * hz * i / 44100));
        const auto out = rig.run(tone);
        return 20 * std::log10(tone_amplitude(out, 0, 10000, 30000, hz) / 2000.0);
    };
    EXPECT_NEAR(gain_at(1500), -5.0, 1.0);
    narrow->SetEnabled(false); // its range goes to 0 dB although `wide` covers it
    EXPECT_EQ(changes, 1);
    EXPECT_NEAR(gain_at(1500), 0.0, 1.0);
    EXPECT_NEAR(gain_at(300), 10.0, 1.0);
    wide->SetGain(wide->Gain()); // equal value: nothing happens
    EXPECT_EQ(changes, 1);
}

TEST(Equalizer, FFTLengthChangesAndClosesNeverPullTheEngineFromUnderTheBufferThread)
{
    Rig rig(256);
    rig.eq.Filters().AddBand(100, 3000, 6);
    std::atomic<bool> stop{false};
    std::atomic<long> buffers{0};
    rig.source.pcm = noise(8160 * 4, 20000, 13);
    std::thread player([&] {
        WaveBuffer buffer(8160);
        while (!stop) {
            rig.source.position = 0;
            buffer.prepare_for_load();
            bool more = false;
            rig.eq.BufferLoad(buffer.header(), more);
            ++buffers;
        }
    });
    const int lengths[] = {8, 64, 1024, 4096, 256, 128};
    for (int round = 0; round < 60; ++round) {
        rig.eq.SetFFTLength(lengths[round % 6]);
        rig.eq.Filters()[0]->SetGain(float(round % 12));
        rig.eq.SetWindow(TMMFFTWindow(round % 7));
        rig.eq.SetEnabled(round % 5 != 0);
        if (round % 10 == 9) {
            rig.eq.Closed();
            rig.eq.Opened();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    player.join();
    EXPECT_GT(buffers.load(), 0);
}

// ---------------------------------------------------------------------------
// The engine against the block filtering written out with the own FFT's
// natural-order transforms (the reference it must stay within one step of),
// for every transform length, channel mode and a mono format; and engines made
// on several threads at once.

void shape(TMMFFTFilter& engine)
{
    // Boosts and cuts across the range, some overlapping, enough to clip loud input.
    const float gains[] = {9, -12, 4, 0, -3, 7, -20, 5};
    const float rate = float(engine.sample_rate);
    for (int i = 0; i < 8; ++i)
        SetFFTFilterBand(engine, rate / 2 * float(i) / 9.0f, rate / 2 * float(i + 2) / 9.0f, gains[i]);
}

// Blocks of N frames of the channels `mode` selects, filtered with the
// engine's response by natural-order forward and inverse transforms; the other
// channel of a stereo stream is left as it was.
std::vector<std::int16_t> reference(const TMMFFTFilter& engine, TMMChannel mode, const std::vector<std::int16_t>& in)
{
    const int n = engine.n, half = n / 2, channels = engine.channels;
    const TMMFFT fft(engine.order);
    std::vector<std::int16_t> out = in;
    const std::size_t frames = in.size() / std::size_t(channels);
    const int first = (channels == 2 && mode == chRight) ? 1 : 0;
    const int last = (channels == 2 && mode == chLeft) ? 1 : channels;
    for (int c = first; c < last; ++c) {
        std::vector<float> tail(std::size_t(half), 0.0f);
        for (std::size_t b = 0; b + std::size_t(n) <= frames; b += std::size_t(n)) {
            std::vector<TMMComplex> z(static_cast<std::size_t>(n));
            for (int k = 0; k < half; ++k)
                z[std::size_t(k)] = {float(in[(b + std::size_t(k)) * channels + c]),
                                     float(in[(b + std::size_t(k + half)) * channels + c])};
            fft.Transform(z.data(), TMMFFT::kForward);
            complex_multiply(z.data(), engine.response.data(), n);
            fft.Transform(z.data(), TMMFFT::kInverse);
            auto put = [&](std::size_t frame, float v) {
                const long y = v >= 32767.0f ? 32767 : v <= -32768.0f ? -32768 : long(v);
                out[frame * channels + c] = std::int16_t(y);
            };
            for (int j = 0; j < half; ++j) {
                put(b + std::size_t(j), z[std::size_t(j)].re + tail[std::size_t(j)]);
                put(b + std::size_t(j + half), z[std::size_t(j + half)].re + z[std::size_t(j)].im);
                tail[std::size_t(j)] = z[std::size_t(j + half)].im;
            }
        }
    }
    return out;
}

// Runs the engine over `in` in buffers of whole blocks, so no start-up silence
// is inserted and the output lines up with the input.
std::vector<std::int16_t> run(TMMFFTFilter& engine, TMMChannel mode, std::vector<std::int16_t> pcm, int blocks_per_buffer)
{
    const std::size_t buffer_samples = std::size_t(engine.n) * engine.channels * blocks_per_buffer;
    for (std::size_t pos = 0; pos + buffer_samples <= pcm.size(); pos += buffer_samples)
        DoFFTFilter(engine, mode, reinterpret_cast<char*>(pcm.data() + pos), int(buffer_samples * 2));
    return pcm;
}

TEST(FFTFilterEngine, StaysWithinOneStepOfTheNaturalOrderTransformsAtEveryLength)
{
    for (int n : {8, 64, 256, 1024}) {
        for (int channels : {1, 2}) {
            for (TMMChannel mode : {chBoth, chLeft, chRight}) {
                const WaveFormat format = make_pcm_format(44100, 16, std::uint16_t(channels));
                auto engine = InitFFTFilter(&format, n, 65536);
                ASSERT_TRUE(engine);
                shape(*engine);
                const int blocks_per_buffer = std::max(1, 2048 / n);
                const std::size_t samples = std::size_t(n) * channels * blocks_per_buffer * std::max(8, 8192 / n);
                const auto input = noise(samples, 16000, unsigned(n * 10 + channels));
                const auto expected = reference(*engine, mode, input);
                const auto output = run(*engine, mode, input, blocks_per_buffer);
                ASSERT_EQ(output.size(), expected.size());
                int off_by_one = 0, clipped = 0;
                for (std::size_t i = 0; i < output.size(); ++i) {
                    ASSERT_LE(std::abs(int(output[i]) - int(expected[i])), 1)
                        << "N " << n << " channels " << channels << " mode " << int(mode) << " sample " << i;
                    off_by_one += output[i] != expected[i];
                    clipped += expected[i] == 32767 || expected[i] == -32768;
                }
                // Only float rounding near a truncation boundary may differ.
                EXPECT_LT(off_by_one, int(output.size() / 50)) << "N " << n;
                if (channels == 2 && mode == chLeft) {
                    for (std::size_t i = 1; i < output.size(); i += 2)
                        ASSERT_EQ(output[i], input[i]) << "right sample " << i;
                }
                if (n == 1024 && channels == 2 && mode == chBoth) {
                    EXPECT_GT(clipped, 0) << "the loud input should reach the clipping path";
                }
            }
        }
    }
}

TEST(FFTFilterEngine, EnginesMadeOnSeveralThreadsAtOnceFilterAlike)
{
    const WaveFormat format = make_pcm_format(48000, 16, 2);
    const auto input = noise(512 * 2 * 64, 12000, 5);
    std::vector<std::vector<std::int16_t>> outputs(6);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < outputs.size(); ++t)
        threads.emplace_back([&, t] {
            // Made, used and freed on this thread while the others do the same.
            for (int repeat = 0; repeat < 5; ++repeat) {
                auto engine = InitFFTFilter(&format, 512, 65536);
                shape(*engine);
                outputs[t] = run(*engine, chBoth, input, 4);
            }
        });
    for (auto& thread : threads)
        thread.join();
    for (std::size_t t = 1; t < outputs.size(); ++t)
        EXPECT_EQ(outputs[t], outputs[0]) << "thread " << t;
    EXPECT_NE(outputs[0], input);
}

} // namespace
} // namespace pelu

#include "eq_test.moc"
