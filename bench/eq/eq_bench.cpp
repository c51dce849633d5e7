// bench_eq: how fast the equalizer filters stereo 44.1 kHz PCM with 16 bands
// (FFTLength 256 and 1024), compared in the same run with sox applying sixteen
// `equalizer` effects at the same half-octave centres to the same PCM; and what
// one spectrum refresh and one meter refresh cost.
//
//   bench_eq [--seconds S] [google-benchmark flags]
#include "audio/equalizer.h"
#include "audio/level.h"
#include "audio/band_analyser.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace pelu;

constexpr int kRate = 44100;
constexpr int kBufferBytes = 8160;
const double kCentres[16] = {63, 88, 125, 177, 250, 355, 500, 710, 1000, 1400, 2000, 2800, 4000, 5600, 8000, 11200};
const float kGains[16] = {6, 5, 4, 3, 2, 1, 0, -1, -2, -3, -2, -1, 0, 2, 4, 6};

int g_seconds = 20;

// Music-like test signal: a few tones and some noise, stereo 16-bit.
std::vector<std::int16_t> make_pcm(int seconds)
{
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 1500.0);
    const int frames = seconds * kRate;
    std::vector<std::int16_t> pcm(std::size_t(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / kRate;
        const double v = 4000 * std::sin(2 * M_PI * 110 * t) + 2500 * std::sin(2 * M_PI * 440 * t) +
                         1500 * std::sin(2 * M_PI * 3300 * t);
        pcm[2 * i] = std::int16_t(std::clamp(v + noise(rng), -32768.0, 32767.0));
        pcm[2 * i + 1] = std::int16_t(std::clamp(0.8 * v + noise(rng), -32768.0, 32767.0));
    }
    return pcm;
}

const std::vector<std::int16_t>& pcm()
{
    static const std::vector<std::int16_t> data = make_pcm(g_seconds);
    return data;
}

struct EqRig {
    TMMEqualizer eq;
    WaveFormat format = make_pcm_format(kRate, 16, 2);
    explicit EqRig(int fft_length)
    {
        eq.SetFFTLength(fft_length);
        for (int i = 0; i < 16; ++i)
            eq.Filters().AddBand(float(kCentres[i] / std::pow(2.0, 0.25)), float(kCentres[i] * std::pow(2.0, 0.25)),
                                 kGains[i]);
        eq.SetPWaveFormat(&format);
        eq.SetBufferSize(kBufferBytes);
        eq.Opened();
        eq.Started();
    }
    // Filters the whole signal in player-sized buffers.
    void run(std::vector<std::int16_t>& work)
    {
        WaveBuffer buffer(kBufferBytes);
        ExtendedWaveHeader* header = buffer.header();
        const std::size_t total = work.size() * 2;
        for (std::size_t pos = 0; pos < total; pos += kBufferBytes) {
            const std::size_t n = std::min<std::size_t>(kBufferBytes, total - pos);
            std::memcpy(header->data, reinterpret_cast<char*>(work.data()) + pos, n);
            header->bytes_recorded = std::uint32_t(n);
            eq.BufferReady(header); // the push path: filter in place
            std::memcpy(reinterpret_cast<char*>(work.data()) + pos, header->data, n);
        }
    }
};

void BM_EqualizerSixteenBands(benchmark::State& state)
{
    EqRig rig(int(state.range(0)));
    std::vector<std::int16_t> work = pcm();
    for (auto _ : state) {
        rig.run(work);
        benchmark::ClobberMemory();
    }
    const double frames = double(work.size() / 2) * double(state.iterations());
    state.counters["frames_per_s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["x_realtime"] = benchmark::Counter(frames / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EqualizerSixteenBands)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_SpectrumRefresh(benchmark::State& state)
{
    TMMSpectrum spectrum;
    spectrum.SetDesignMode(true);
    spectrum.SetDisplaySize(64, 23);
    spectrum.SetFFTLength(int(state.range(0)));
    spectrum.SetWindow(fwRectangular);
    spectrum.SetGain(sg3db);
    spectrum.SetVerticalScale(20);
    spectrum.SetFrequencyScale(2);
    spectrum.SetDecayMode(dmStepUp);
    spectrum.SetDecay(7);
    const WaveFormat format = make_pcm_format(kRate, 16, 2);
    spectrum.SetDisplayFormat(&format);
    const char* data = reinterpret_cast<const char*>(pcm().data());
    std::size_t offset = 0;
    const std::size_t limit = pcm().size() * 2 - std::size_t(spectrum.DataSize());
    for (auto _ : state) {
        spectrum.ProcessData(data + offset);
        offset = (offset + std::size_t(spectrum.DataSize())) % limit;
    }
}
BENCHMARK(BM_SpectrumRefresh)->Arg(64)->Arg(1024)->Unit(benchmark::kMicrosecond);

void BM_MeterRefresh(benchmark::State& state)
{
    TMMLevel meter;
    meter.SetDesignMode(true);
    meter.SetDisplaySize(88, 4);
    meter.SetChannel(chRight);
    meter.SetSamples(250);
    meter.SetDecayMode(dmStepUp);
    meter.SetDecay(7);
    const WaveFormat format = make_pcm_format(kRate, 16, 2);
    meter.SetDisplayFormat(&format);
    const char* data = reinterpret_cast<const char*>(pcm().data());
    std::size_t offset = 0;
    const std::size_t limit = pcm().size() * 2 - 1000;
    for (auto _ : state) {
        meter.ProcessData(data + offset);
        offset = (offset + 1000) % limit;
    }
}
BENCHMARK(BM_MeterRefresh)->Unit(benchmark::kMicrosecond);

double cpu_seconds_of_children()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

double cpu_seconds_of_self()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// CPU seconds sox needs for the sixteen-band chain over the file (best of three).
double time_sox(const std::string& raw_path)
{
    std::vector<std::string> args = {"sox", "-q", "-t", "raw", "-r", std::to_string(kRate), "-e", "signed",
                                     "-b", "16", "-c", "2", raw_path, "-n"};
    for (int i = 0; i < 16; ++i) {
        char freq[32], gain[32];
        std::snprintf(freq, sizeof freq, "%g", kCentres[i]);
        std::snprintf(gain, sizeof gain, "%g", double(kGains[i]));
        args.insert(args.end(), {"equalizer", freq, "0.5o", gain});
    }
    double best = -1;
    for (int run = 0; run < 3; ++run) {
        const double before = cpu_seconds_of_children();
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("sox", argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return -1;
        const double spent = cpu_seconds_of_children() - before;
        if (best < 0 || spent < best)
            best = spent;
    }
    return best;
}

double time_equalizer(int fft_length)
{
    double best = -1;
    for (int run = 0; run < 3; ++run) {
        EqRig rig(fft_length);
        std::vector<std::int16_t> work = pcm();
        const double before = cpu_seconds_of_self();
        rig.run(work);
        const double spent = cpu_seconds_of_self() - before;
        if (best < 0 || spent < best)
            best = spent;
    }
    return best;
}

void compare_with_sox()
{
    char path[] = "/tmp/pelu-bench-eq-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return;
    const auto& data = pcm();
    const std::size_t size = data.size() * 2;
    if (write(fd, data.data(), size) != ssize_t(size)) {
        close(fd);
        unlink(path);
        return;
    }
    close(fd);
    const double sox = time_sox(path);
    unlink(path);
    std::printf("\nSame %d s of stereo 44.1 kHz PCM, 16 bands (CPU seconds, best of 3):\n", g_seconds);
    if (sox < 0)
        std::printf("  sox: not available or failed\n");
    else
        std::printf("  sox, 16 equalizer effects: %.3f s (%.0f x real time)\n", sox, g_seconds / sox);
    for (int n : {256, 1024}) {
        const double eq = time_equalizer(n);
        std::printf("  equalizer FFTLength %4d: %.3f s (%.0f x real time, %.3f%% of one core)", n, eq,
                    g_seconds / eq, 100.0 * eq / g_seconds);
        if (sox > 0)
            std::printf("  -> %.1f x faster than sox", sox / eq);
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) {
            g_seconds = std::max(1, std::atoi(argv[i + 1]));
            for (int j = i; j + 2 <= argc; ++j)
                argv[j] = argv[j + 2];
            argc -= 2;
            break;
        }
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    compare_with_sox();
    return 0;
}
