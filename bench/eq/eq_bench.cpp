// bench_eq: what the equalizer costs, measured as CPU time in interleaved rounds.
//
// 1. The filter loop (the design excluded): the equalizer's engine filtering a
//    stereo 44.1 kHz 16-bit signal in the player's 8160-byte buffers, beside the
//    floor for the same work, an FFTW single-precision overlap-add of the same
//    transform length (real transforms of N points, hops of N/2 samples, each
//    channel of the interleaved stream, the same response) writing 16-bit
//    samples. FFTLength 256 and 1024. Each sample filters the signal as often as
//    it takes to spend at least one CPU second in this thread.
// 2. The net cost in whole processes: `pelu decode` of the same signal as a WAV
//    file with a sixteen-band preset minus without it, beside sox with sixteen
//    `equalizer` effects at the same half-octave centres and gains minus sox
//    copying the file. CPU time of each child from wait4; each sample runs the
//    command as often as it takes to spend at least one CPU second.
// 3. With --micro: google-benchmark timings of one spectrum refresh and one
//    meter refresh.
//
// 4. With --presets: how long reading and saving a preset of 16 and of 4,000
//    bands take (LoadFromIniFile, SaveToIniFile over the file it read; best and
//    median of 9 rounds), and nothing else.
//
//   bench_eq [--seconds S] [--rounds R] [--micro [google-benchmark flags]] [--presets]
#include "audio/equalizer.h"
#include "audio/level.h"
#include "audio/frequency_analyser.h"

#include "cpu_rounds.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace pelu;
using pelu::bench::Contender;

constexpr int kRate = 44100;
constexpr int kBufferBytes = 8160;
const double kCentres[16] = {63, 88, 125, 177, 250, 355, 500, 710, 1000, 1400, 2000, 2800, 4000, 5600, 8000, 11200};
const float kGains[16] = {6, 5, 4, 3, 2, 1, 0, -1, -2, -3, -2, -1, 0, 2, 4, 6};

int g_seconds = 20;
int g_rounds = 5;
constexpr double kMinSampleCpuSeconds = 1.0;

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

void add_bands(TMMEqualizer& eq)
{
    for (int i = 0; i < 16; ++i)
        eq.Filters().AddBand(float(kCentres[i] / std::pow(2.0, 0.25)), float(kCentres[i] * std::pow(2.0, 0.25)),
                             kGains[i]);
}

// The equalizer's filter engine as an opened equalizer makes it (store size
// max(65536, buffer size)) with the sixteen bands applied in list order.
struct EqRig {
    WaveFormat format = make_pcm_format(kRate, 16, 2);
    std::unique_ptr<TMMFFTFilter> engine_;
    explicit EqRig(int fft_length) : engine_(InitFFTFilter(&format, fft_length, 65536))
    {
        SetFFTFilterBand(*engine_, 0.0f, float(kRate / 2), 0.0f);
        for (int i = 0; i < 16; ++i)
            SetFFTFilterBand(*engine_, float(kCentres[i] / std::pow(2.0, 0.25)),
                             float(kCentres[i] * std::pow(2.0, 0.25)), kGains[i]);
    }
    TMMFFTFilter& engine() { return *engine_; }
    // Filters `in` into `out` in player-sized buffers.
    void run(const std::vector<std::int16_t>& in, std::vector<std::int16_t>& out)
    {
        ResetFFTFilter(engine());
        const std::size_t total = in.size() * 2;
        auto* dst = reinterpret_cast<char*>(out.data());
        std::memcpy(dst, in.data(), total);
        for (std::size_t pos = 0; pos < total; pos += kBufferBytes) {
            const int n = int(std::min<std::size_t>(kBufferBytes, total - pos));
            DoFFTFilter(engine(), chBoth, dst + pos, n);
        }
    }
};

// The floor: FFTW's real transforms of N points on hops of N/2 samples per
// channel, the response's bins 0..N/2 (the filter is real, so the rest mirror
// them), overlap-add, truncation and clipping to 16 bits as the engine does.
class FftwOverlapAdd {
public:
    FftwOverlapAdd(int n, const std::vector<TMMComplex>& response) : n_(n)
    {
        time_ = fftwf_alloc_real(std::size_t(n));
        spectrum_ = fftwf_alloc_complex(std::size_t(n / 2 + 1));
        forward_ = fftwf_plan_dft_r2c_1d(n, time_, spectrum_, FFTW_ESTIMATE);
        inverse_ = fftwf_plan_dft_c2r_1d(n, spectrum_, time_, FFTW_ESTIMATE);
        for (int k = 0; k <= n / 2; ++k)
            h_.push_back({response[k].re / float(n), response[k].im / float(n)});
        for (auto& t : tail_)
            t.assign(std::size_t(n / 2), 0.0f);
    }
    ~FftwOverlapAdd()
    {
        fftwf_destroy_plan(forward_);
        fftwf_destroy_plan(inverse_);
        fftwf_free(time_);
        fftwf_free(spectrum_);
    }
    void run(const std::vector<std::int16_t>& in, std::vector<std::int16_t>& out)
    {
        const int half = n_ / 2;
        const std::size_t frames = in.size() / 2;
        for (auto& t : tail_)
            std::fill(t.begin(), t.end(), 0.0f);
        for (int c = 0; c < 2; ++c) {
            float* tail = tail_[c].data();
            for (std::size_t start = 0; start + std::size_t(half) <= frames; start += std::size_t(half)) {
                const std::int16_t* x = in.data() + 2 * start + std::size_t(c);
                for (int k = 0; k < half; ++k)
                    time_[k] = float(x[2 * k]);
                std::fill(time_ + half, time_ + n_, 0.0f);
                fftwf_execute(forward_);
                for (int k = 0; k <= half; ++k) {
                    const float re = spectrum_[k][0] * h_[k].re - spectrum_[k][1] * h_[k].im;
                    const float im = spectrum_[k][0] * h_[k].im + spectrum_[k][1] * h_[k].re;
                    spectrum_[k][0] = re;
                    spectrum_[k][1] = im;
                }
                fftwf_execute(inverse_);
                std::int16_t* y = out.data() + 2 * start + std::size_t(c);
                for (int k = 0; k < half; ++k) {
                    const float v = time_[k] + tail[k];
                    y[2 * k] = std::int16_t(v >= 32767.0f ? 32767 : v <= -32768.0f ? -32768 : long(v));
                    tail[k] = time_[k + half];
                }
            }
        }
    }

private:
    int n_;
    float* time_;
    fftwf_complex* spectrum_;
    fftwf_plan forward_, inverse_;
    std::vector<TMMComplex> h_;
    std::vector<float> tail_[2];
};

void compare_filter_loop()
{
    std::printf("\n1. Filter loop (design excluded), %d s of stereo 44.1 kHz 16-bit PCM, 16 bands;\n"
                "   ms of this thread's CPU per audio second, samples of at least %.0f s:\n",
                g_seconds, kMinSampleCpuSeconds);
    const auto& input = pcm();
    std::vector<Contender> contenders;
    std::vector<std::unique_ptr<EqRig>> rigs;
    std::vector<std::unique_ptr<FftwOverlapAdd>> floors;
    std::vector<std::int16_t> out_eq(input.size()), out_floor(input.size());
    for (int n : {256, 1024}) {
        rigs.push_back(std::make_unique<EqRig>(n));
        EqRig* rig = rigs.back().get();
        floors.push_back(std::make_unique<FftwOverlapAdd>(n, rig->engine().response));
        FftwOverlapAdd* floor = floors.back().get();
        contenders.push_back({"equalizer engine, N=" + std::to_string(n),
                              "DoFFTFilter over 8160-byte buffers (in process)",
                              [rig, &input, &out_eq] {
                                  return pelu::bench::ThreadMsPerAudioSecond(
                                      [&] { return rig->run(input, out_eq), true; }, g_seconds, kMinSampleCpuSeconds);
                              }});
        contenders.push_back({"FFTW r2c/c2r overlap-add, N=" + std::to_string(n),
                              "fftwf r2c N, x H[0..N/2], c2r N, hop N/2 (in process)",
                              [floor, &input, &out_floor] {
                                  return pelu::bench::ThreadMsPerAudioSecond(
                                      [&] { return floor->run(input, out_floor), true; }, g_seconds, kMinSampleCpuSeconds);
                              }});
        // Both compute the same filter: the engine's output is delayed by the
        // start-up silence (one buffer's partial block), the floor's is not.
        rig->run(input, out_eq);
        floor->run(input, out_floor);
        const int frames_per_buffer = kBufferBytes / 4;
        const std::size_t lead = std::size_t(frames_per_buffer - (frames_per_buffer / n) * n) * 2;
        int worst = 0;
        for (std::size_t i = 0; i + lead < out_eq.size() - std::size_t(4 * n); ++i)
            worst = std::max(worst, std::abs(int(out_eq[i + lead]) - int(out_floor[i])));
        std::printf("   N=%d: largest difference between the two outputs: %d LSB\n", n, worst);
    }
    pelu::bench::RunInterleaved(contenders, g_rounds);
    pelu::bench::PrintContenders(contenders, "ms CPU per audio second", g_rounds);
    pelu::bench::PrintRatio("N=256:  engine / FFTW floor, ratio of medians", contenders[0].Median(),
                            contenders[1].Median());
    pelu::bench::PrintRatio("N=1024: engine / FFTW floor, ratio of medians", contenders[2].Median(),
                            contenders[3].Median());
    pelu::bench::PrintRatio("engine N=1024 / N=256 per sample (log factor 10/8 = 1.25)", contenders[2].Median(),
                            contenders[0].Median());
}

void write_wav(const std::string& path, const std::vector<std::int16_t>& samples)
{
    auto put32 = [](std::ofstream& f, std::uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [](std::ofstream& f, std::uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    const std::uint32_t data_bytes = std::uint32_t(samples.size() * 2);
    std::ofstream f(path, std::ios::binary);
    f.write("RIFF", 4);
    put32(f, 36 + data_bytes);
    f.write("WAVEfmt ", 8);
    put32(f, 16);
    put16(f, 1);
    put16(f, 2);
    put32(f, kRate);
    put32(f, kRate * 4);
    put16(f, 4);
    put16(f, 16);
    f.write("data", 4);
    put32(f, data_bytes);
    f.write(reinterpret_cast<const char*>(samples.data()), data_bytes);
}

void compare_with_sox(const std::string& pelu_program)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("pelu-bench-eq-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string wav = (dir / "signal.wav").string();
    const std::string ini = (dir / "presets.ini").string();
    write_wav(wav, pcm());
    for (int n : {256, 1024}) {
        TMMEqualizer eq;
        eq.SetFFTLength(n);
        add_bands(eq);
        eq.SetSampleRate(kRate);
        eq.SaveToIniFile(QString::fromStdString(ini), QStringLiteral("Bench%1").arg(n));
    }
    // Both write a WAV stream to /dev/null, so the net cost is the filtering alone.
    std::vector<std::string> sox_eq = {"sox", "-q", wav, "-t", "wav", "/dev/null"};
    for (int i = 0; i < 16; ++i) {
        char freq[32], gain[32];
        std::snprintf(freq, sizeof freq, "%g", kCentres[i]);
        std::snprintf(gain, sizeof gain, "%g", double(kGains[i]));
        sox_eq.insert(sox_eq.end(), {"equalizer", freq, "0.5o", gain});
    }
    const std::vector<std::vector<std::string>> commands = {
        {pelu_program, "decode", wav, "-o", "/dev/null", "--eq", ini, "--eq-name", "Bench256"},
        {pelu_program, "decode", wav, "-o", "/dev/null", "--eq", ini, "--eq-name", "Bench1024"},
        {pelu_program, "decode", wav, "-o", "/dev/null"},
        sox_eq,
        {"sox", "-q", wav, "-t", "wav", "/dev/null"},
    };
    const char* labels[] = {"pelu decode, EQ FFTLen 256", "pelu decode, EQ FFTLen 1024", "pelu decode, no EQ",
                            "sox, 16 equalizer effects", "sox, no effect"};
    std::vector<Contender> contenders;
    for (std::size_t i = 0; i < commands.size(); ++i)
        contenders.push_back({labels[i], pelu::bench::CommandText(commands[i], ""),
                              [argv = commands[i]] {
                                  return pelu::bench::ChildMsPerAudioSecond(argv, g_seconds, kMinSampleCpuSeconds);
                              }});
    std::printf("\n2. Net cost in whole processes, the same %d s stereo 44.1 kHz WAV (%s);\n"
                "   ms of the child's CPU (wait4) per audio second, samples of at least %.0f s:\n",
                g_seconds, wav.c_str(), kMinSampleCpuSeconds);
    pelu::bench::RunInterleaved(contenders, g_rounds);
    pelu::bench::PrintContenders(contenders, "ms CPU per audio second", g_rounds);
    const double base = contenders[2].Median();
    const double sox_net = contenders[3].Median() - contenders[4].Median();
    for (int i : {0, 1}) {
        const double net = contenders[std::size_t(i)].Median() - base;
        std::printf("  net equalizer cost, FFTLen %d: %.3f ms CPU per audio second (%.3f%% of one core)", i ? 1024 : 256,
                    net, net / 10.0);
        if (net > 0 && sox_net > 0)
            std::printf("; sox's net %.3f ms is %.2f x that", sox_net, sox_net / net);
        std::printf("\n");
    }
    std::filesystem::remove_all(dir);
}

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

// A preset file of `bands` bands as the equalizer writes one.
std::string preset_text(int bands)
{
    std::string text = "[EQ.BrindleX]\nFFTLen=1024\nSamplerate=44100\nWindow=1\nBands=" + std::to_string(bands) + "\n";
    for (int i = 0; i < bands; ++i) {
        const std::string band = "Band" + std::to_string(i);
        text += band + " f1=" + std::to_string(20 + i) + "\n" + band + " f2=" + std::to_string(21 + i) + "\n" + band +
                " Gain=" + std::to_string(i % 25 - 12) + ".5\n" + band + " Enabled=1\n";
    }
    return text;
}

void print_preset_times(int bands, std::vector<double> ms, const char* aim)
{
    std::sort(ms.begin(), ms.end());
    std::printf("  %5d bands   best %8.2f ms   median %8.2f ms%s\n", bands, ms.front(), ms[ms.size() / 2],
                bands == 4000 ? aim : "");
}

void time_preset_loads()
{
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "bench_eq_preset.ini";
    const QString name = QString::fromStdString(file.string());
    std::printf("preset load (LoadFromIniFile) and save (SaveToIniFile over the file read), 9 rounds\n");
    for (const int bands : {16, 4000}) {
        std::ofstream(file) << preset_text(bands);
        std::vector<double> load_ms, save_ms;
        for (int round = 0; round < 9; ++round) {
            pelu::TMMEqualizer eq;
            auto start = std::chrono::steady_clock::now();
            eq.LoadFromIniFile(name, QStringLiteral("BrindleX"));
            load_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            if (eq.Filters().Count() != bands) {
                std::fprintf(stderr, "bench_eq: %d bands read of %d\n", eq.Filters().Count(), bands);
                std::exit(1);
            }
            start = std::chrono::steady_clock::now();
            eq.SaveToIniFile(name, QStringLiteral("BrindleX"));
            save_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        std::printf(" load");
        print_preset_times(bands, load_ms, "   (aim: < 50 ms)");
        std::printf(" save");
        print_preset_times(bands, save_ms, "");
    }
    std::filesystem::remove(file);
}

// Takes "--name value" out of argv.
bool take_option(int& argc, char** argv, const char* name, int& value)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) {
            value = std::max(1, std::atoi(argv[i + 1]));
            for (int j = i; j + 2 <= argc; ++j)
                argv[j] = argv[j + 2];
            argc -= 2;
            return true;
        }
    return false;
}

bool take_flag(int& argc, char** argv, const char* name)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) {
            for (int j = i; j + 1 <= argc; ++j)
                argv[j] = argv[j + 1];
            argc -= 1;
            return true;
        }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    take_option(argc, argv, "--seconds", g_seconds);
    take_option(argc, argv, "--rounds", g_rounds);
    const bool micro = take_flag(argc, argv, "--micro");
    const bool presets = take_flag(argc, argv, "--presets");
    QCoreApplication app(argc, argv);
    if (presets) {
        time_preset_loads();
        return 0;
    }
    if (micro) {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    const std::string pelu_program =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "pelu").string();
    std::printf("bench_eq: %d rounds, signal %d s\n", g_rounds, g_seconds);
    compare_filter_loop();
    compare_with_sox(pelu_program);
    return 0;
}
